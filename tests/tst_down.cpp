#include "boxanswerer.h"
#include "down.h"
#include "savequestion.h"
#include "testmain.h"
#include "testserver.h"

#include <QDir>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>

namespace {

const QByteArray backupPath = "/ClientServices/BackUp.ashx";

QByteArray pageBody(int page)
{
    return "page " + QByteArray::number(page) + QByteArray(" row\n").repeated(2000);
}

} // namespace

class tst_Down : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void pagePath();
    void exportPages_data();
    void exportPages();
};

void tst_Down::pagePath()
{
    QCOMPARE(down::pagePath("/d/r.XLS", 2), "/d/r2.XLS");
    QCOMPARE(down::pagePath("/d/b.xls.txt", 2), "/d/b.xls.txt2.xls");
}

void tst_Down::exportPages_data()
{
    QTest::addColumn<int>("page2Status"); // 0: the user cancels while page 2 arrives
    QTest::addColumn<bool>("declined"); // the save question is cancelled
    QTest::addColumn<int>("requests");
    QTest::addColumn<QList<int>>("saved");
    QTest::addColumn<QString>("notice");

    QTest::newRow("3 pages: a file each")
        << 200 << false << 3 << QList<int> { 1, 2, 3 } << "提示|备份完成";
    QTest::newRow("404 on page 2: export fails, page 1 kept, no page 2 file")
        << 404 << false << 2 << QList<int> { 1 } << "提示|备份失败：第2页下载出错";
    QTest::newRow("cancel during page 2: export stops, page 1 kept")
        << 0 << false << 2 << QList<int> { 1 } << "提示|备份已取消";
    QTest::newRow("save question declined: nothing fetched")
        << 200 << true << 0 << QList<int>() << QString();
}

void tst_Down::exportPages()
{
    QFETCH(int, page2Status);
    QFETCH(bool, declined);
    QFETCH(int, requests);
    QFETCH(QList<int>, saved);
    QFETCH(QString, notice);

    TestServer server;
    QVERIFY(server.start());
    for (int page = 1; page <= 3; ++page) {
        TestServer::Response response;
        response.body = pageBody(page);
        response.status = page == 2 && page2Status ? page2Status : 200;
        response.trickleMs = page == 2 && !page2Status ? 50 : 0; // goes on long after the cancel
        server.serve(backupPath + "?id=7&pageindex=" + QByteArray::number(page), response);
    }
    QTemporaryDir dir;
    SaveQuestion::answerWith([&](const QString &, const QString &, const QString &) {
        return declined ? QString() : dir.filePath("backup.xls");
    });
    BoxAnswerer answerer;
    QPointer<down> job = new down;
    job->beginBackup(server.url(QString::fromLatin1(backupPath + "?id=7")).toString(), 3, {});
    if (!page2Status) {
        QTRY_COMPARE(server.requests().size(), 2);
        job->findChild<QPushButton *>()->click();
    }
    QTRY_VERIFY_WITH_TIMEOUT(job.isNull(), 10000);
    QTRY_COMPARE(answerer.boxes, notice.isEmpty() ? QStringList() : QStringList(notice));

    QCOMPARE(server.requests().size(), requests);
    QStringList expectedFiles;
    for (int page : saved) {
        expectedFiles << QString("backup%1.xls").arg(page);
        QFile file(dir.filePath(expectedFiles.last()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), pageBody(page));
    }
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name), expectedFiles);
}

TAVREL_TEST_MAIN(tst_Down)
#include "tst_down.moc"
