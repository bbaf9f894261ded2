#include "updatelist.h"

#include <QFile>

Q_LOGGING_CATEGORY(lcUpdateList, "updatelist")

UpdateList UpdateList::read(const QString &path)
{
    UpdateList list;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qCDebug(lcUpdateList) << "xml open faile";
        // An unopened file cannot be parsed; its error stands in for the parser's message.
        qCDebug(lcUpdateList) << "xml open faile reason:" << file.errorString();
        return list;
    }
    QString message;
    int line = 0;
    int column = 0;
    list.wellFormed = list.document.setContent(&file, false, &message, &line, &column);
    if (!list.wellFormed)
        qCDebug(lcUpdateList) << "xml open faile reason:" << message;
    return list;
}

QString UpdateList::value(const QString &elementName) const
{
    return document.elementsByTagName(elementName).item(0).toElement().text();
}

QStringList UpdateList::fileNames() const
{
    QStringList names;
    const QDomNodeList files = document.elementsByTagName(QStringLiteral("File"));
    for (int i = 0; i < files.count(); ++i)
        names << files.item(i).toElement().attribute(QStringLiteral("Name"));
    return names;
}

QList<UpdateList::FileEntry> UpdateList::files() const
{
    QList<FileEntry> entries;
    const QDomNodeList elements = document.elementsByTagName(QStringLiteral("File"));
    for (int i = 0; i < elements.count(); ++i) {
        const QDomElement element = elements.item(i).toElement();
        entries << FileEntry { element.attribute(QStringLiteral("Name")),
            element.attribute(QStringLiteral("Sha256")),
            element.attribute(QStringLiteral("Size")) };
    }
    return entries;
}
