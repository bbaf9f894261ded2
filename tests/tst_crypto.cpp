#include "crypto.h"
#include "testmain.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QTemporaryDir>

class tst_Crypto : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void sha256_data();
    void sha256();

private:
    QTemporaryDir dir;
};

void tst_Crypto::sha256_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("exists");

    QByteArray random(5 * 1024 * 1024 + 7, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(
        reinterpret_cast<quint32 *>(random.data()), random.size() / sizeof(quint32));
    QTest::newRow("empty file") << QByteArray() << true;
    QTest::newRow("one byte") << QByteArray("x") << true;
    QTest::newRow("5 MiB and a few bytes: the file over several reads") << random << true;
    QTest::newRow("missing file: no digest") << QByteArray() << false;
}

// The file's digest, and the running one fed in two pieces and asked twice, as Qt's would be.
void tst_Crypto::sha256()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, exists);

    const QString path = dir.filePath(QStringLiteral("file"));
    QFile::remove(path);
    QFile file(path);
    QVERIFY(!exists || (file.open(QIODevice::WriteOnly) && file.write(content) == content.size()));
    file.close();
    const QByteArray expected = QCryptographicHash::hash(content, QCryptographicHash::Sha256);
    QCOMPARE(Crypto::fileSha256(path), exists ? expected : QByteArray());

    Crypto running;
    running.addData(QByteArrayView(content).first(content.size() / 2));
    QCOMPARE(running.result(),
        QCryptographicHash::hash(content.first(content.size() / 2), QCryptographicHash::Sha256));
    running.addData(QByteArrayView(content).sliced(content.size() / 2));
    QCOMPARE(running.result(), expected);
    running.reset();
    QCOMPARE(running.result(), QCryptographicHash::hash({}, QCryptographicHash::Sha256));
}

TAVREL_TEST_MAIN(tst_Crypto)
#include "tst_crypto.moc"
