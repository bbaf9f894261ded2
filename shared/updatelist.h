#pragma once

#include <QHash>
#include <QLoggingCategory>
#include <QString>
#include <QStringList>

Q_DECLARE_LOGGING_CATEGORY(lcUpdateList)

// UpdateList.xml, the one settings and version file of both programs, as one reading of it.
// The file is read in one pass as raw bytes, so the parser sees every byte and does the
// decoding; time and memory grow with the file however deeply its elements nest. A file that
// is missing or not well-formed still gives what came before the error, so a list cut off by a
// broken download still yields the elements completed before the cut.
class UpdateList
{
public:
    // Reads the file afresh; nobody caches a reading.
    static UpdateList read(const QString &path);

    // Text of the first element of that name in document order, at any depth, untrimmed, with
    // the text of the elements inside it; empty when there is none.
    QString value(const QString &elementName) const;

    // Name attributes of every File element in document order, at any depth.
    QStringList fileNames() const { return names; }

private:
    // Every text of the document in order; the first element of each name is a span of it.
    QString text;
    QHash<QString, std::pair<qsizetype, qsizetype>> firstSpans;
    QStringList names;
};
