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
    // One File element: its attributes as written, each empty when absent.
    struct FileEntry
    {
        QString name;
        QString sha256; // hexadecimal digits of the file's SHA-256
        QString size; // the file's length in bytes, as decimal digits
    };

    // Reads the file afresh; nobody caches a reading.
    static UpdateList read(const QString &path);

    // Text of the first element of that name in document order, at any depth, untrimmed;
    // empty when there is none.
    QString value(const QString &elementName) const;

    // Name attributes of every File element in document order, at any depth.
    QStringList fileNames() const;

    // Every File element in document order, at any depth.
    QList<FileEntry> files() const;

    // False when the file could not be opened or is not well-formed to its end, as a list cut
    // off by a broken download is not; what was read up to the error is still there.
    bool isWellFormed() const { return wellFormed; }

private:
    QDomDocument document;
    bool wellFormed = false;
};
