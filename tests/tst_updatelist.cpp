#include "testmain.h"
#include "updatelist.h"

#include <QStringEncoder>
#include <QTemporaryFile>

class tst_UpdateList : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void read_data();
    void read();
};

void tst_UpdateList::read_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QStringList>("files"); // each File's attributes, blanks between them
    QTest::addColumn<bool>("wellFormed");

    // UTF-16LE with a byte order mark, any other without.
    const auto encoded = [](const char *encoding, const QByteArray &text) {
        return (qstrcmp(encoding, "UTF-16LE") == 0 ? "\xff\xfe" : "")
            + QByteArray(QStringEncoder(encoding).encode(QString::fromUtf8(text)));
    };
    // Every byte reaches the parser: CR bytes are line ends, or part of a character (U+4E0D).
    QTest::newRow("first Version at any depth, File anywhere; UTF-16LE, CRLF and a 0x0D byte")
        << encoded("UTF-16LE",
               "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n<a>\r\n<b><Version>2.0</Version>\r\n"
               "<File Name=\"不.dll\"/></b><Version>3.0</Version><File Name=\"y\"/></a>\r\n")
        << "2.0" << QStringList { "不.dll", "y" } << true;

    // Hostile lists are refused whole, before the parser can expand or compare anything.
    const QByteArray entity = "<!DOCTYPE a [<!ENTITY e \"x\">]><a><Version>1.0</Version>&e;</a>";
    QTest::newRow("document type declaration") << entity << "" << QStringList() << false;
    QTest::newRow("the same in UTF-16BE without a byte order mark")
        << encoded("UTF-16BE", entity) << "" << QStringList() << false;
    QTest::newRow("65 attributes on one element, in UTF-16LE") << encoded("UTF-16LE",
        "<a><Version>1.0</Version><File" + QByteArray(" a = ''").repeated(65) + "/></a>")
                                                               << "" << QStringList() << false;
    // A declaration the scan reads, then markup in units it cannot see.
    const auto declared = [&encoded](const char *encoding, const QByteArray &text) {
        return "<?xml version=\"1.0\" encoding=\"" + QByteArray(encoding) + "\"?>"
            + encoded(encoding, text);
    };
    QTest::newRow("IBM037 hiding a document type declaration")
        << declared("IBM037", "<!DOCTYPE a [<!ENTITY v \"9.9\">]><a><Version>&v;</Version></a>")
        << "" << QStringList() << false;
    QTest::newRow("GBK, whose markup is ASCII")
        << declared("GBK", "<a><Version>2.0</Version><File Name=\"不.dll\"/></a>") << "2.0"
        << QStringList { "不.dll" } << true;
    // Each ends at its own end, not a ">" within; a quoted "=" is no attribute; counts per element.
    QTest::newRow("comments, CDATA, processing instructions and attributes that look like more")
        << "<?xml version=\"1.0\" encoding='UTF-8'?><?pi > <!DOCTYPE?><a>"
           "<!-- 1 > 0 <!DOCTYPE a> --><![CDATA[> <!x]]><Version><![CDATA[2.0]]></Version>"
           "<File Name=\"a>b\" Sha256='"
            + QByteArray(64, '=') + "' Size=\"1\" Executable=\"yes\"/>"
            + QByteArray("<x y=''/>").repeated(64) + "</a>"
        << "2.0" << QStringList { "a>b " + QString(64, u'=') + " 1 yes" } << true;
    QTest::newRow("text over 4 MiB: what came before it kept")
        << "<a><Version>1.0</Version>" + QByteArray(UpdateList::maxText, 'x') + "</a>"
        << "1.0" << QStringList() << false;
}

void tst_UpdateList::read()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, version);
    QFETCH(QStringList, files);
    QFETCH(bool, wellFormed);

    QTemporaryFile saved;
    QVERIFY(saved.open() && saved.write(document) == document.size() && saved.flush());
    const UpdateList list = UpdateList::read(saved.fileName());
    QCOMPARE(list.value(QStringLiteral("Version")), version);
    QStringList got;
    for (const UpdateList::FileEntry &file : list.files())
        got << (file.name + u' ' + file.sha256 + u' ' + file.size + u' ' + file.executable)
                   .trimmed();
    QCOMPARE(got, files);
    QCOMPARE(list.isWellFormed(), wellFormed);
}

TAVREL_TEST_MAIN(tst_UpdateList)
#include "tst_updatelist.moc"
