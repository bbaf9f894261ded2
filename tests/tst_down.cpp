#include "boxanswerer.h"
#include "down.h"
#include "programfolder.h"
#include "savequestion.h"
#include "testmain.h"
#include "testserver.h"

#include <QPointer>
#include <QPushButton>

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
    // What the user does: "saves", "declines" the save question or "cancels" during page 2.
    QTest::addColumn<QString>("user");
    QTest::addColumn<int>("requests");
    QTest::addColumn<QStringList>("saved");
    QTest::addColumn<QString>("notice");

    QTest::newRow("3 pages: a file each")
        << "saves" << 3 << QStringList { "backup1.xls", "backup2.xls", "backup3.xls" }
        << "提示|备份完成";
    QTest::newRow("cancel during page 2: export stops, page 1 kept")
        << "cancels" << 2 << QStringList { "backup1.xls" } << "提示|备份已取消";
    QTest::newRow("save question declined: nothing fetched")
        << "declines" << 0 << QStringList() << QString();
}

void tst_Down::exportPages()
{
    QFETCH(QString, user);
    QFETCH(int, requests);
    QFETCH(QStringList, saved);
    QFETCH(QString, notice);

    TestServer server;
    QVERIFY(server.start());
    for (int page = 1; page <= 3; ++page) {
        TestServer::Response response;
        response.body = "page";
        response.silent = page == 2 && user == "cancels";
        server.serve("/BackUp.ashx?id=7&pageindex=" + QByteArray::number(page), response);
    }
    ProgramFolder dir;
    SaveQuestion::answerWith([&](const QString &, const QString &, const QString &) {
        return user == "declines" ? QString() : dir.filePath("backup.xls");
    });
    BoxAnswerer answerer;
    QPointer<down> job = new down;
    job->beginBackup(server.url("/BackUp.ashx?id=7").toString(), 3, {});
    if (user == "cancels") {
        QTRY_COMPARE(server.requests().size(), 2);
        job->findChild<QPushButton *>()->click();
    }
    QTRY_VERIFY_WITH_TIMEOUT(job.isNull(), 10000);
    QTRY_COMPARE(answerer.boxes, notice.isEmpty() ? QStringList() : QStringList(notice));
    QCOMPARE(server.requests().size(), requests);
    QCOMPARE(dir.files().keys(), saved);
}

TAVREL_TEST_MAIN(tst_Down)
#include "tst_down.moc"
