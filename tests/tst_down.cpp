#include "down.h"
#include "download.h"
#include "savequestion.h"
#include "testmain.h"
#include "testserver.h"

#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>

namespace {

enum Page2 { Served, NotFound, ServerError, CutOff, NeverAnswered, Unwritable, Declined, Cancel };

const QByteArray backupPath = "/ClientServices/BackUp.ashx";

QByteArray pageBody(int page)
{
    return "page " + QByteArray::number(page) + QByteArray(" row\n").repeated(2000);
}

} // namespace

Q_DECLARE_METATYPE(Page2)

class tst_Down : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void pagePath_data();
    void pagePath();
    void exportPages_data();
    void exportPages();
};

void tst_Down::pagePath_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("expected");

    QTest::newRow("page 2: its number before .xls") << "/d/backup.xls" << 2 << "/d/backup2.xls";
    QTest::newRow("page 10: both digits before .xls") << "/d/backup.xls" << 10 << "/d/backup10.xls";
    QTest::newRow("page 11: built on the chosen name, not on page 10's")
        << "/d/backup.xls" << 11 << "/d/backup11.xls";
    QTest::newRow("digits of the chosen name kept")
        << "/d/report2024.xls" << 2 << "/d/report20242.xls";
    QTest::newRow("_xls inside the name kept") << "/d/a2_xls.xls" << 3 << "/d/a2_xls3.xls";
    QTest::newRow("upper-case .XLS numbered, its case kept") << "/d/r.XLS" << 1 << "/d/r1.XLS";
    QTest::newRow("no ending: .xls added, then numbered") << "/d/backup" << 2 << "/d/backup2.xls";
    QTest::newRow(".xls not at the end: .xls added after the name")
        << "/d/b.xls.txt" << 1 << "/d/b.xls.txt1.xls";
    QTest::newRow("folder with .xls in its name left as it is")
        << "/d/exports2.xls.d/backup.xls" << 2 << "/d/exports2.xls.d/backup2.xls";
}

void tst_Down::pagePath()
{
    QFETCH(QString, chosen);
    QFETCH(int, page);
    QFETCH(QString, expected);
    QCOMPARE(down::pagePath(chosen, page), expected);
}

void tst_Down::exportPages_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<Page2>("page2");
    QTest::addColumn<int>("requests");
    QTest::addColumn<QList<int>>("saved");
    QTest::addColumn<QString>("notice"); // %1 stands for the page 2 file

    const QString done = "备份完成";
    const QString failed = "备份失败：第2页下载出错";
    QTest::newRow("3 pages: a file each") << 3 << Served << 3 << QList<int> { 1, 2, 3 } << done;
    QTest::newRow("count 1: page 1 only") << 1 << Served << 1 << QList<int> { 1 } << done;
    QTest::newRow("count 0: one page") << 0 << Served << 1 << QList<int> { 1 } << done;
    QTest::newRow("count -5: one page") << -5 << Served << 1 << QList<int> { 1 } << done;
    QTest::newRow("404 on page 2: export fails, page 1 kept, no page 2 file")
        << 3 << NotFound << 2 << QList<int> { 1 } << failed;
    QTest::newRow("500 on page 2: export fails, page 1 kept, no page 2 file")
        << 3 << ServerError << 2 << QList<int> { 1 } << failed;
    QTest::newRow("page 2 cut off halfway: export fails, no page 2 file")
        << 3 << CutOff << 2 << QList<int> { 1 } << failed;
    QTest::newRow("silent server: given up once it stalls")
        << 3 << NeverAnswered << 2 << QList<int> { 1 } << failed;
    QTest::newRow("unwritable page 2 file: export fails naming the file")
        << 3 << Unwritable << 1 << QList<int> { 1 } << QString("备份失败：无法写入文件%1");
    QTest::newRow("save question declined: nothing fetched")
        << 3 << Declined << 0 << QList<int>() << QString();
    QTest::newRow("cancel during page 2: export stops, page 1 kept")
        << 3 << Cancel << 2 << QList<int> { 1 } << QString("备份已取消");
}

void tst_Down::exportPages()
{
    QFETCH(int, count);
    QFETCH(Page2, page2);
    QFETCH(int, requests);
    QFETCH(QList<int>, saved);
    QFETCH(QString, notice);

    TestServer server;
    QVERIFY(server.start());
    QTemporaryDir dir;
    for (int page = 1; page <= 3; ++page) {
        TestServer::Response response;
        response.body = pageBody(page);
        response.status = page != 2 ? 200
            : page2 == NotFound     ? 404
            : page2 == ServerError  ? 500
                                    : 200;
        response.dropAfter = page == 2 && page2 == CutOff ? 1000 : -1;
        response.silent = page == 2 && page2 == NeverAnswered;
        response.trickleMs = page == 2 && page2 == Cancel ? 50 : 0; // goes on long after the cancel
        // Late, so a request sent before the previous page is over shows in othersInFlight.
        response.delayMs = 20;
        response.headers = { "Set-Cookie: session=7" };
        server.serve(backupPath + "?id=7&pageindex=" + QByteArray::number(page), response);
    }
    const QString page2File = dir.filePath("backup2.xls");
    if (page2 == Unwritable)
        QVERIFY(QDir().mkdir(page2File));

    QPointer<down> job = new down;
    job->setStallTimeout(300);
    QString suggested;
    const auto restoreDialog = qScopeGuard([] { SaveQuestion::answerWith({}); });
    SaveQuestion::answerWith([&](const QString &, const QString &suggestedName, const QString &) {
        suggested = suggestedName;
        return page2 == Declined ? QString() : dir.filePath("backup.xls");
    });
    QStringList progress; // what the progress window showed as each page was asked for
    connect(&server, &TestServer::requestReceived, this, [&] {
        if (job && job->isVisible())
            progress << job->findChild<QLabel *>()->text();
    });
    job->beginBackup(
        server.url(QString::fromLatin1(backupPath + "?id=7")).toString(), count, "backup.xls");
    if (page2 == Cancel) {
        QTRY_COMPARE(server.requests().size(), 2);
        job->findChild<QPushButton *>()->click();
    }
    QTRY_VERIFY_WITH_TIMEOUT(job.isNull(), 10000);

    QStringList notices;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *box = qobject_cast<QMessageBox *>(widget)) {
            if (box->isVisible() && box->windowTitle() == "提示")
                notices << box->text();
            delete box;
        }
    }
    notice.replace("%1", QDir::toNativeSeparators(page2File));
    QCOMPARE(notices, notice.isEmpty() ? QStringList() : QStringList { notice });

    QCOMPARE(suggested, "backup.xls");
    QCOMPARE(server.requests().size(), requests);
    QStringList expectedProgress;
    for (int page = 1; page <= requests; ++page) {
        expectedProgress << QString("正在备份：第%1页，共%2页").arg(page).arg(qMax(count, 1));
        const TestServer::Request &request = server.requests().at(page - 1);
        QCOMPARE(request.target, backupPath + "?id=7&pageindex=" + QByteArray::number(page));
        QCOMPARE(request.header("User-Agent"), QByteArray(Download::userAgent.data()));
        QCOMPARE(request.header("Cookie"), QByteArray());
        QCOMPARE(request.othersInFlight, 0);
    }
    QCOMPARE(progress, expectedProgress);
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
