#include "updatelist.h"

#include <QBuffer>
#include <QFile>
#include <QRegularExpression>
#include <QStringConverter>
#include <QXmlStreamReader>

Q_LOGGING_CATEGORY(lcUpdateList, "updatelist")

namespace {

// The raw document as the parser's characters: one code unit of the encoding the parser finds
// from its first bytes (UTF-16 or UTF-32 by byte order mark or by a leading "<", else 8 bits).
// Every encoding the parser reads writes the markup characters as single units of their own.
class Units
{
public:
    explicit Units(QByteArrayView raw)
        : raw(raw)
    {
        const auto found = QStringConverter::encodingForData(raw.first(qMin(raw.size(), 4)), u'<');
        switch (found.value_or(QStringConverter::Utf8)) {
        case QStringConverter::Utf16LE:
            width = 2;
            break;
        case QStringConverter::Utf16BE:
            width = 2;
            bigEndian = true;
            break;
        case QStringConverter::Utf32LE:
            width = 4;
            break;
        case QStringConverter::Utf32BE:
            width = 4;
            bigEndian = true;
            break;
        default:
            break;
        }
    }

    qsizetype size() const { return raw.size() / width; }
    char32_t at(qsizetype index) const
    {
        char32_t unit = 0;
        for (int i = 0; i < width; ++i) {
            const uchar byte = uchar(raw[index * width + (bigEndian ? i : width - 1 - i)]);
            unit = unit << 8 | byte;
        }
        return unit;
    }
    bool startsWith(qsizetype index, QLatin1StringView text) const
    {
        if (index + text.size() > size())
            return false;
        for (qsizetype i = 0; i < text.size(); ++i) {
            if (at(index + i) != char32_t(text[i].unicode()))
                return false;
        }
        return true;
    }
    // The index just past the next text from index on; size() when there is none.
    qsizetype skipPast(qsizetype index, QLatin1StringView text) const
    {
        for (; index < size(); ++index) {
            if (startsWith(index, text))
                return index + text.size();
        }
        return size();
    }

private:
    QByteArrayView raw;
    int width = 1;
    bool bigEndian = false;
};

// Whether the parser reads the document in an encoding that writes the markup as units of its
// own, as the UTF encodings and GB18030 with its subsets do. Any other encoding a declaration
// names could hide a document type declaration or a crowded tag from the scan below.
bool isReadableEncoding(QString name)
{
    static const QStringList names { QStringLiteral("utf8"), QStringLiteral("utf16"),
        QStringLiteral("utf16le"), QStringLiteral("utf16be"), QStringLiteral("utf32"),
        QStringLiteral("utf32le"), QStringLiteral("utf32be"), QStringLiteral("usascii"),
        QStringLiteral("gb18030"), QStringLiteral("gbk"), QStringLiteral("gb2312"),
        QStringLiteral("cp936") };
    name = name.toLower();
    name.remove(u'-');
    name.remove(u'_');
    return names.contains(name);
}

// What in the document stops the reading before the parser sees it: an encoding whose markup
// this scan cannot see, a document type declaration, whose entities can turn a small list into
// gigabytes of text, or a tag with more attributes than any list needs, which the parser would
// check against each other at quadratic cost. One linear pass over the raw units, empty when
// there is nothing.
QString refusal(QByteArrayView raw)
{
    constexpr int maxAttributes = 64;
    const Units units(raw);
    // After a byte order mark the parser keeps the encoding the mark says.
    if (units.startsWith(0, QLatin1StringView("<?xml"))) {
        const qsizetype end = units.skipPast(0, QLatin1StringView("?>"));
        QString declaration;
        for (qsizetype at = 0; at < end; ++at)
            declaration += QChar(units.at(at) < 0x80 ? char16_t(units.at(at)) : u'?');
        static const QRegularExpression encoding(
            QStringLiteral("encoding\\s*=\\s*(?:\"([^\"]*)\"|'([^']*)')"));
        const QRegularExpressionMatch match = encoding.match(declaration);
        const QString name = match.captured(1) + match.captured(2);
        if (declaration.contains(QLatin1String("encoding")) && !isReadableEncoding(name))
            return QStringLiteral("the encoding \"%1\"").arg(name);
    }
    bool inTag = false;
    char32_t quote = 0;
    int attributes = 0;
    for (qsizetype i = 0; i < units.size(); ++i) {
        const char32_t unit = units.at(i);
        if (quote) {
            if (unit == quote)
                quote = 0;
        } else if (inTag) {
            if (unit == u'"' || unit == u'\'')
                quote = unit;
            else if (unit == u'=' && ++attributes > maxAttributes)
                return QStringLiteral("an element with more than %1 attributes").arg(maxAttributes);
            else if (unit == u'>')
                inTag = false;
        } else if (unit == u'<') {
            // Comments, character data and processing instructions may hold anything.
            if (units.startsWith(i, QLatin1StringView("<!--")))
                i = units.skipPast(i + 4, QLatin1StringView("-->")) - 1;
            else if (units.startsWith(i, QLatin1StringView("<![CDATA[")))
                i = units.skipPast(i + 9, QLatin1StringView("]]>")) - 1;
            else if (units.startsWith(i, QLatin1StringView("<?")))
                i = units.skipPast(i + 2, QLatin1StringView("?>")) - 1;
            else if (units.startsWith(i, QLatin1StringView("<!")))
                return QStringLiteral("a document type declaration");
            else {
                inTag = true;
                attributes = 0;
            }
        }
    }
    return {};
}

} // namespace

UpdateList UpdateList::read(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCDebug(lcUpdateList) << "xml open faile";
        // An unopened file cannot be parsed; its error stands in for the parser's message.
        qCDebug(lcUpdateList) << "xml open faile reason:" << file.errorString();
        return {};
    }
    // Mapped, the file costs no copy; a file that cannot be mapped is read whole.
    const qint64 size = file.size();
    uchar *mapped = size > 0 ? file.map(0, size) : nullptr;
    if (!mapped)
        return parse(file.readAll());
    const UpdateList list
        = parse(QByteArrayView(reinterpret_cast<const char *>(mapped), qsizetype(size)));
    file.unmap(mapped);
    return list;
}

UpdateList UpdateList::parse(QByteArrayView raw)
{
    UpdateList list;
    if (const QString refused = refusal(raw); !refused.isEmpty()) {
        qCDebug(lcUpdateList) << "xml open faile reason:" << refused;
        return list;
    }

    // Read as a device, a piece at a time, as a file would be: the parser never holds the whole
    // document decoded.
    QByteArray data = QByteArray::fromRawData(raw.data(), raw.size());
    QBuffer device(&data);
    device.open(QIODevice::ReadOnly);
    QXmlStreamReader reader(&device);
    reader.setNamespaceProcessing(false);
    // The open elements, whether each is the first of its name, and where its text starts; an
    // element cut off before its end yields nothing.
    struct Open
    {
        QString name;
        qsizetype start;
        bool first;
    };
    QList<Open> open;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement: {
            const QString name = reader.qualifiedName().toString();
            const bool first = !list.firstSpans.contains(name);
            if (first)
                list.firstSpans.insert(name, { 0, 0 });
            open.append({ name, list.text.size(), first });
            if (name == QLatin1String("File")) {
                const QXmlStreamAttributes attributes = reader.attributes();
                list.entries << FileEntry { attributes.value(QLatin1String("Name")).toString(),
                    attributes.value(QLatin1String("Sha256")).toString(),
                    attributes.value(QLatin1String("Size")).toString(),
                    attributes.value(QLatin1String("Executable")).toString() };
            }
            break;
        }
        case QXmlStreamReader::Characters:
            if (list.text.size() + reader.text().size() > maxText)
                reader.raiseError(QStringLiteral("more than %1 characters of text").arg(maxText));
            else
                list.text += reader.text();
            break;
        case QXmlStreamReader::EndElement: {
            const Open element = open.takeLast();
            if (element.first)
                list.firstSpans.insert(
                    element.name, { element.start, list.text.size() - element.start });
            break;
        }
        default:
            break;
        }
    }
    list.wellFormed = !reader.hasError();
    if (!list.wellFormed)
        qCDebug(lcUpdateList) << "xml open faile reason:" << reader.errorString();
    return list;
}

QStringList UpdateList::fileNames() const
{
    QStringList names;
    for (const FileEntry &entry : entries)
        names << entry.name;
    return names;
}

QString UpdateList::value(const QString &elementName) const
{
    const auto span = firstSpans.value(elementName, { 0, 0 });
    return text.mid(span.first, span.second);
}
