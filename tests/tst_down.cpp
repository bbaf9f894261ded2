#include "boxanswerer.h"
#include "down.h"
#include "programfolder.h"
#include "savequestion.h"
#include "testmain.h"
#include "testserver.h"

#include <QLabel>
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
    // What the user does: "saves", "declines" the save question, "cancels" during page 2, or
    // saves into a folder that is "gone". How the server answers each page: + in full, - cut off
    // halfway, 5 with a server error, . not at all. Pages are fetched in order up to the first
    // that fails, and only the ones before it are kept, each whole in a file of its own.
    QTest::addColumn<QString>("user");
    QTest::addColumn<QByteArray>("pages");
    QTest::addColumn<QString>("notice");
    QTest::newRow("3 pages: a file each") << "saves" << QByteArray("+++") << "备份完成";
    QTest::newRow("page 2 cut off") << "saves" << QByteArray("+-+") << "备份失败：第2页下载出错";
    QTest::newRow("page 1 cut off") << "saves" << QByteArray("-++") << "备份失败：第1页下载出错";
    QTest::newRow("server error on page 3")
        << "saves" << QByteArray("++5") << "备份失败：第3页下载出错";
    QTest::newRow("cancelled during page 2") << "cancels" << QByteArray("+.+") << "备份已取消";
    QTest::newRow("save question declined") << "declines" << QByteArray() << QString();
    QTest::newRow("folder gone: the file named")
        << "gone" << QByteArray() << "备份失败：无法写入文件%1/gone/backup1.xls";
}

void tst_Down::exportPages()
{
    QFETCH(QString, user);
    QFETCH(QByteArray, pages);
    QFETCH(QString, notice);

    TestServer server;
    QVERIFY(server.start());
    for (int page = 1; page <= pages.size(); ++page) {
        TestServer::Response response { pages[page - 1] == '5' ? 500 : 200,
            "page " + QByteArray::number(page) };
        response.dropAfter = pages[page - 1] == '-' ? 2 : -1;
        response.silent = pages[page - 1] == '.';
        server.serve("/BackUp.ashx?id=7&pageindex=" + QByteArray::number(page), response);
    }
    ProgramFolder dir;
    SaveQuestion::answerWith([&](const QString &, const QString &, const QString &) {
        return user == "declines" ? QString()
                                  : dir.filePath(user == "gone" ? "gone/backup.xls" : "backup.xls");
    });
    BoxAnswerer answerer;
    QPointer<down> job = new down;
    job->beginBackup(server.url("/BackUp.ashx?id=7").toString(), int(pages.size()), {});
    if (user == "cancels") {
        QTRY_COMPARE(server.requests().size(), 2);
        QCOMPARE(job->findChild<QLabel *>()->text(), "正在备份：第2页，共3页");
        job->findChild<QPushButton *>()->click();
    }
    QTRY_VERIFY_WITH_TIMEOUT(job.isNull(), 10000);
    QTRY_COMPARE(answerer.boxes,
        notice.isEmpty() ? QStringList() : QStringList("提示|" + notice.replace("%1", dir.path())));
    QMap<QString, QByteArray> files;
    for (int page = 1; page <= pages.size() && pages[page - 1] == '+'; ++page)
        files.insert("backup" + QString::number(page) + ".xls", "page " + QByteArray::number(page));
    QCOMPARE(dir.files(), files);
    QCOMPARE(server.requests().size(), qMin(pages.size(), files.size() + 1));
}

TAVREL_TEST_MAIN(tst_Down)
#include "tst_down.moc"
