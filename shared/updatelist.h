#pragma once

#include <QByteArrayView>
#include <QHash>
#include <QLoggingCategory>
#include <QString>
#include <QStringList>

Q_DECLARE_LOGGING_CATEGORY(lcUpdateList)

// UpdateList.xml, the one settings and version file of both programs, as one reading of it.
// The file is read in one pass as raw bytes, so the parser sees every byte and does the
// decoding; time and memory grow with the file however deeply its elements nest. A list never
// needs a document type declaration, many attributes on one element or an encoding whose
// markup is not written in units of its own (as UTF-8, UTF-16, UTF-32 and GB18030 write it): a
// file with any of them is not well-formed for us, and is refused by a linear scan before the
// parser sees it. A file that
// is missing or not well-formed still gives what came before the error, so a list cut off by a
// broken download still yields the elements completed before the cut.
class UpdateList
{
public:
    // One File element: its attributes as written, each empty when absent.
    struct FileEntry
    {
        QString name;
        QString sha256; // hexadecimal digits of the file's SHA-256
        QString size; // the file's length in bytes, as decimal digits
        QString executable; // "yes" for a program, which a new installation makes executable
    };

    // The server's copy is a few hundred bytes; a longer or slower answer is not a list.
    static constexpr qint64 downloadSizeCap = 1024 * 1024;
    static constexpr int downloadDeadline = 30000;
    // The text kept of any list, however large; a list with more is not well-formed for us.
    static constexpr qsizetype maxText = 4 * 1024 * 1024;

    // Reads the file afresh; nobody caches a reading.
    static UpdateList read(const QString &path);
    // Reads a document held in memory, as received: the bytes read are the bytes the caller keeps.
    static UpdateList parse(QByteArrayView raw);

    // Text of the first element of that name in document order, at any depth, untrimmed, with
    // the text of the elements inside it; empty when there is none.
    QString value(const QString &elementName) const;

    // Whether the document has an element of that name, however empty.
    bool contains(const QString &elementName) const { return firstSpans.contains(elementName); }

    // Name attributes of every File element in document order, at any depth.
    QStringList fileNames() const;

    // Every File element in document order, at any depth.
    QList<FileEntry> files() const { return entries; }

    // False when the file could not be opened or is not well-formed to its end, as a list cut
    // off by a broken download is not; what was read up to the error is still there.
    bool isWellFormed() const { return wellFormed; }

private:
    // Every text of the document in order; the first element of each name is a span of it.
    QString text;
    QHash<QString, std::pair<qsizetype, qsizetype>> firstSpans;
    QList<FileEntry> entries;
    bool wellFormed = false;
};
