#include "updatelist.h"

#include <QFile>
#include <QXmlStreamReader>

Q_LOGGING_CATEGORY(lcUpdateList, "updatelist")

UpdateList UpdateList::read(const QString &path)
{
    UpdateList list;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCDebug(lcUpdateList) << "xml open faile";
        // An unopened file cannot be parsed; its error stands in for the parser's message.
        qCDebug(lcUpdateList) << "xml open faile reason:" << file.errorString();
        return list;
    }

    QXmlStreamReader reader(&file);
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
