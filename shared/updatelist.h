#pragma once

#include <QDomDocument>
#include <QLoggingCategory>
#include <QString>
#include <QStringList>

Q_DECLARE_LOGGING_CATEGORY(lcUpdateList)

// UpdateList.xml, the one settings and version file of both programs, as one reading of it.
// A file that is missing or not well-formed still gives what the parser got to before the
// error, so a list cut off by a broken download still yields the elements before the cut.
class UpdateList
{
public:
    // Reads the file afresh; nobody caches a reading.
    static UpdateList read(const QString &path);

    // Text of the first element of that name in document order, at any depth, untrimmed;
    // empty when there is none.
    QString value(const QString &elementName) const;

    // Name attributes of every File element in document order, at any depth.
    QStringList fileNames() const;

private:
    QDomDocument document;
};
