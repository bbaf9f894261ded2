// How long reading an update list takes, and how much memory it needs, for lists far larger or
// deeper than any real one: a hostile or broken server's list is read at start-up.

#include "updatelist.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>

#include <cstdio>

namespace {

// Peak resident memory of this process so far, in MiB (Linux; 0 elsewhere).
long peakMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong() / 1024;
    }
    return 0;
}

void measure(const char *what, const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return;
    }
    file.close();
    QElapsedTimer clock;
    clock.start();
    const UpdateList list = UpdateList::read(path);
    const qint64 elapsed = clock.elapsed();
    std::printf("%-40s %6.1f MB  %6lld ms  Version %s  peak %ld MiB\n", what, content.size() / 1e6,
        elapsed, qPrintable(list.value(QStringLiteral("Version"))), peakMiB());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("UpdateList.xml"));
    const QByteArray head = "<UpdateList><Version>1.0.0.2</Version>";
    // Hostile lists within the 1 MiB a server's list may have, both refused; measured first, so
    // the peak memory is theirs.
    measure("entity of 1 kB referenced 100,000 times", path,
        "<!DOCTYPE UpdateList [<!ENTITY e \"" + QByteArray(1000, 'x') + "\">]>" + head
            + QByteArray("&e;").repeated(100000) + "</UpdateList>");
    QByteArray attributes;
    for (int i = 0; i < 95000; ++i)
        attributes += " a" + QByteArray::number(i) + "=''";
    measure("95,000 attributes on one element", path,
        head + "<File Name=\"x\"" + attributes + "/></UpdateList>");
    // The same in encodings whose markup is not ASCII, behind a declaration that is.
    for (const char *encoding : { "IBM037", "UTF-7" }) {
        QStringEncoder encoder(encoding);
        const QByteArray declaration
            = "<?xml version=\"1.0\" encoding=\"" + QByteArray(encoding) + "\"?>";
        const QByteArray entities = declaration
            + encoder.encode(
                QString::fromLatin1("<!DOCTYPE UpdateList [<!ENTITY e \"" + QByteArray(1000, 'x')
                    + "\">]>" + head + QByteArray("&e;").repeated(100000) + "</UpdateList>"));
        measure(QByteArray("entities in " + QByteArray(encoding)).constData(), path, entities);
        const QByteArray crowded = declaration
            + encoder.encode(QString::fromLatin1(
                head + "<File Name=\"x\"" + attributes.left(1000000) + "/></UpdateList>"));
        measure(QByteArray("attributes in " + QByteArray(encoding)).constData(), path, crowded);
    }
    for (int depth : { 10000, 100000, 1000000 }) {
        const QByteArray name = QByteArray::number(depth) + " nested elements";
        measure(name.constData(), path,
            head + QByteArray("<e>").repeated(depth) + QByteArray("</e>").repeated(depth)
                + "</UpdateList>");
    }
    measure("50 MB of File elements", path,
        head + QByteArray("<File Name=\"corvex.exe\"/>\n").repeated(2 * 1000 * 1000)
            + "</UpdateList>");
    return 0;
}
