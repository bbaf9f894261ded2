#include "testmain.h"
#include "updatelist.h"

#include <QStringEncoder>
#include <QTemporaryDir>

class tst_UpdateList : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void read_data();
    void read();

private:
    QTemporaryDir dir;
};

void tst_UpdateList::read_data()
{
    QTest::addColumn<QByteArray>("document"); // null: no file
    QTest::addColumn<QString>("version");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<bool>("parseError");

    const auto encoded = [](QStringConverter::Encoding encoding, const QByteArray &text) {
        QStringEncoder encoder(encoding, QStringEncoder::Flag::WriteBom);
        return QByteArray(encoder.encode(QString::fromUtf8(text)));
    };
    QTest::newRow("first Version at any depth; File elements anywhere")
        << QByteArray("<a><b><Version>1.1</Version><File Name=\"x.dll\"/></b><Version>2.2</Version>"
                      "<File Name=\"y\"/></a>")
        << "1.1" << QStringList { "x.dll", "y" } << false;
    QTest::newRow("list cut off after Version")
        << QByteArray("<UpdateList><Version>1.0.0.2</Version><LoginUrl>http://12") << "1.0.0.2"
        << QStringList() << true;
    // Every byte reaches the parser: CR bytes are line ends, or part of a character (U+4E0D).
    QTest::newRow("UTF-16LE with CRLF and a 0x0D byte") << encoded(QStringConverter::Utf16LE,
        "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n<a>\r\n<Version>2.0</Version>\r\n"
        "<File Name=\"不.dll\"/></a>\r\n") << "2.0" << QStringList { "不.dll" }
                                                        << false;

    // Hostile lists are refused whole, before the parser can expand or compare anything.
    const QByteArray entity = "<!DOCTYPE a [<!ENTITY e \"x\">]><a><Version>1.0</Version>&e;</a>";
    QTest::newRow("document type declaration") << entity << "" << QStringList() << true;
    QStringEncoder bigEndian(QStringConverter::Utf16BE);
    QTest::newRow("the same in UTF-16BE without a byte order mark")
        << QByteArray(bigEndian.encode(QString::fromLatin1(entity))) << "" << QStringList() << true;
    QByteArray attributes;
    for (int i = 0; i < 65; ++i)
        attributes += " a" + QByteArray::number(i) + " = ''";
    QTest::newRow("65 attributes on one element, in UTF-16LE") << encoded(QStringConverter::Utf16LE,
        "<a><Version>1.0</Version><File Name=\"x\"" + attributes + "/></a>")
                                                               << "" << QStringList() << true;
    QTest::newRow("64 attributes, and = and quotes in values, text, comments and CDATA")
        << "<a x=\"it's = '\"><!-- it's = \" --><Version>a=b'</Version><![CDATA[<b c=\">]]><File"
            + attributes.left(attributes.indexOf(" a63 ")) + " Name=\"y\"/></a>"
        << "a=b'" << QStringList { "y" } << false;
    QTest::newRow("text over 4 MiB: what came before it kept")
        << "<a><Version>1.0</Version>" + QByteArray(UpdateList::maxText, 'x') + "</a>"
        << "1.0" << QStringList() << true;
    QTest::newRow("missing file") << QByteArray() << "" << QStringList() << true;
}

void tst_UpdateList::read()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, version);
    QFETCH(QStringList, files);
    QFETCH(bool, parseError);

    const QString path = dir.filePath(QStringLiteral("UpdateList.xml"));
    QFile::remove(path);
    QFile file(path);
    QVERIFY(document.isNull() || (file.open(QIODevice::WriteOnly) && file.write(document) >= 0));
    file.close();

    // The diagnostic texts are fixed, word for word.
    if (document.isNull())
        QTest::ignoreMessage(QtDebugMsg, "xml open faile");
    if (parseError)
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^xml open faile reason: \".+\"$"));
    const UpdateList list = UpdateList::read(path);
    QCOMPARE(list.value(QStringLiteral("Version")), version);
    QCOMPARE(list.fileNames(), files);
    QCOMPARE(list.isWellFormed(), !parseError);
}

TAVREL_TEST_MAIN(tst_UpdateList)
#include "tst_updatelist.moc"
