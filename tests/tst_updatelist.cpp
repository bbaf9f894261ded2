#include "testmain.h"
#include "updatelist.h"

#include <QStringEncoder>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;

class tst_UpdateList : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void read_data();
    void read();
    void missingFile();

private:
    QTemporaryDir dir;
};

void tst_UpdateList::read_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("loginUrl");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<bool>("parseError");

    const QByteArray complete = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<UpdateList>\n"
                                "<Version>1.0.0.2</Version>\n"
                                "<LoginUrl>http://127.0.0.1/login.aspx</LoginUrl>\n"
                                "<File Name=\"corvex.exe\"/>\n<File Name=\"diskid32.dll\"/>\n"
                                "</UpdateList>\n";
    QTest::newRow("complete list")
        << complete << "1.0.0.2"
        << "http://127.0.0.1/login.aspx" << QStringList { "corvex.exe", "diskid32.dll" } << false;
    QTest::newRow("first of two Version elements, at any depth")
        << QByteArray("<a><b><Version>1.1</Version></b><Version>2.2</Version></a>") << "1.1"
        << "" << QStringList() << false;
    QTest::newRow("blanks kept") << QByteArray("<a><Version> 1.0 </Version></a>") << " 1.0 "
                                 << "" << QStringList() << false;
    QTest::newRow("empty Version") << QByteArray("<a><Version></Version></a>") << ""
                                   << "" << QStringList() << false;
    QTest::newRow("missing Version") << QByteArray("<a><LoginUrl>x</LoginUrl></a>") << ""
                                     << "x" << QStringList() << false;
    QTest::newRow("list cut off after Version")
        << QByteArray("<UpdateList><Version>1.0.0.2</Version><LoginUrl>http://12") << "1.0.0.2"
        << "" << QStringList() << true;
    QTest::newRow("nested File, File without Name, attribute named Version ignored")
        << QByteArray("<a Version=\"9\"><File Name=\"a.dll\"/><g><File Name=\"b.exe\"/>"
                      "<File/></g></a>")
        << ""
        << "" << QStringList { "a.dll", "b.exe", "" } << false;
    QTest::newRow("not XML") << QByteArray("<html>404 Not Found") << ""
                             << "" << QStringList() << true;
    QTest::newRow("empty file") << QByteArray() << ""
                                << "" << QStringList() << true;

    // Every byte reaches the parser: CR bytes are part of UTF-16 characters, not line ends.
    const QString wide = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n<a>\r\n"
                                        "<Version>2.0</Version>\r\n<LoginUrl>http://h/</LoginUrl>"
                                        "\r\n<File Name=\"不.dll\"/>\r\n</a>\r\n");
    for (const auto encoding : { QStringConverter::Utf16LE, QStringConverter::Utf16BE }) {
        QStringEncoder encoder(encoding, QStringEncoder::Flag::WriteBom);
        QTest::newRow(encoding == QStringConverter::Utf16LE ? "UTF-16LE with CRLF and a 0x0D byte"
                                                            : "UTF-16BE with CRLF and a 0x0D byte")
            << QByteArray(encoder.encode(wide)) << "2.0"
            << "http://h/" << QStringList { QStringLiteral("不.dll") } << false;
    }
    QTest::newRow("lone CR inside a text, as the parser reports it")
        << QByteArray("<a><Version>1\r2</Version></a>") << "1\n2"
        << "" << QStringList() << false;
    QTest::newRow("100,000 nested elements after Version")
        << "<a><Version>1.2</Version>" + QByteArray("<e>").repeated(100000)
            + QByteArray("</e>").repeated(100000) + "<File Name=\"x\"/></a>"
        << "1.2"
        << "" << QStringList { QStringLiteral("x") } << false;

    // Hostile lists are refused whole, before the parser can expand or compare anything.
    const QByteArray bomb = "<?xml version=\"1.0\"?>\n<!DOCTYPE a [<!ENTITY e \""
        + QByteArray(1000, 'x') + "\">]>\n<a><Version>1.0</Version>"
        + QByteArray("&e;").repeated(100000) + "</a>";
    QTest::newRow("DTD with one entity referenced 100,000 times") << bomb << ""
                                                                  << "" << QStringList() << true;
    QStringEncoder wideBomb(QStringConverter::Utf16BE);
    QTest::newRow("the same in UTF-16BE without a byte order mark")
        << QByteArray(wideBomb.encode(QString::fromLatin1(bomb))) << ""
        << "" << QStringList() << true;
    QByteArray attributes;
    for (int i = 0; i < 95000; ++i)
        attributes += " a" + QByteArray::number(i) + "=''";
    const QByteArray crowded = "<a><Version>1.0</Version><File Name=\"x\"" + attributes + "/></a>";
    QTest::newRow("95,000 attributes on one element") << crowded << ""
                                                      << "" << QStringList() << true;
    QStringEncoder wideCrowded(QStringConverter::Utf16LE, QStringEncoder::Flag::WriteBom);
    QTest::newRow("the same in UTF-16LE with blanks around =")
        << QByteArray(wideCrowded.encode(QString::fromLatin1(crowded).replace(u'=', u" = "_s)))
        << ""
        << "" << QStringList() << true;
    QTest::newRow("64 attributes, and = and quotes in values, text, comments and CDATA")
        << "<a x=\"it's = '\"><!-- it's = \" --><Version>a=b'</Version><![CDATA[<b c=\">]]><File"
            + attributes.left(attributes.indexOf(" a63=")) + " Name=\"y\"/></a>"
        << "a=b'"
        << "" << QStringList { QStringLiteral("y") } << false;
    QTest::newRow("text over 4 MiB: what came before it kept")
        << "<a><Version>1.0</Version>" + QByteArray(UpdateList::maxText, 'x') + "</a>"
        << "1.0"
        << "" << QStringList() << true;
}

void tst_UpdateList::read()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, version);
    QFETCH(QString, loginUrl);
    QFETCH(QStringList, files);
    QFETCH(bool, parseError);

    const QString path = dir.filePath(QStringLiteral("UpdateList.xml"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(document);
    file.close();

    if (parseError)
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^xml open faile reason: \".+\"$"));
    const UpdateList list = UpdateList::read(path);
    QCOMPARE(list.value(QStringLiteral("Version")), version);
    QCOMPARE(list.value(QStringLiteral("LoginUrl")), loginUrl);
    QCOMPARE(list.fileNames(), files);
    QCOMPARE(list.isWellFormed(), !parseError);
}

void tst_UpdateList::missingFile()
{
    QTest::ignoreMessage(QtDebugMsg, "xml open faile");
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^xml open faile reason: \".*\"$"));
    const UpdateList list = UpdateList::read(dir.filePath(QStringLiteral("missing.xml")));
    QCOMPARE(list.value(QStringLiteral("Version")), QString());
    QCOMPARE(list.fileNames(), QStringList());
    QVERIFY(!list.isWellFormed());
}

TAVREL_TEST_MAIN(tst_UpdateList)
#include "tst_updatelist.moc"
