#include "down.h"
#include "download.h"
#include "testmain.h"
#include "testserver.h"

#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>

namespace {

enum Page2 { Served, NotFound, ServerError, CutOff, NeverAnswered, Unwritable, Declined, Cancel };

const QByteArray backupPath = "/ClientServices/BackUp.ashx";

QByteArray pageBody(int page)
{
    return QByteArray("page ") + QByteArray::number(page) + QByteArray(" row\n").repeated(2000);
}

} // namespace

Q_DECLARE_METATYPE(Page2)

class tst_Down : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void pagePath_data();
    void pagePath();
    void exportPages_data();
    void exportPages();
    void twoExportsAtOnce();

private:
    // Serves pages 1 to 3 of the backup with the given id, each a little late, so that a
    // request sent before the previous page is over shows in othersInFlight.
    void servePages(const QByteArray &id);
    down *startExport(const QString &chosenName, const QByteArray &id, int count);
    QStringList savedFiles() const;
    static QStringList notices();

    std::unique_ptr<TestServer> server;
    std::unique_ptr<QTemporaryDir> dir;
    QString suggested;
};

void tst_Down::init()
{
    server = std::make_unique<TestServer>();
    QVERIFY(server->start());
    dir = std::make_unique<QTemporaryDir>();
}

void tst_Down::cleanup()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<QMessageBox *>(widget))
            delete widget;
    }
}

void tst_Down::servePages(const QByteArray &id)
{
    for (int page = 1; page <= 3; ++page) {
        TestServer::Response response;
        response.body = pageBody(page);
        response.contentType = "application/vnd.ms-excel";
        response.delayMs = 20;
        response.headers = { "Set-Cookie: session=" + id };
        server->serve(
            backupPath + "?id=" + id + "&pageindex=" + QByteArray::number(page), response);
    }
}

down *tst_Down::startExport(const QString &chosenName, const QByteArray &id, int count)
{
    auto *job = new down;
    job->setStallTimeout(300);
    job->askFileName = [this, chosenName](const QString &suggestedName) {
        suggested = suggestedName;
        return chosenName;
    };
    job->beginBackup(server->url(QString::fromLatin1(backupPath + "?id=" + id)).toString(), count,
        QStringLiteral("backup.xls"));
    return job;
}

QStringList tst_Down::savedFiles() const
{
    return QDir(dir->path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

QStringList tst_Down::notices()
{
    QStringList texts;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        if (box && box->isVisible() && box->windowTitle() == "提示")
            texts << box->text();
    }
    return texts;
}

void tst_Down::pagePath_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("expected");

    QTest::newRow("page 1") << "/d/backup.xls" << 1 << "/d/backup1.xls";
    QTest::newRow("page 2 not built on page 1's name") << "/d/backup.xls" << 2 << "/d/backup2.xls";
    QTest::newRow("page 10") << "/d/backup.xls" << 10 << "/d/backup10.xls";
    QTest::newRow("page 11 keeps no 10") << "/d/backup.xls" << 11 << "/d/backup11.xls";
    QTest::newRow("the user's digits stay") << "/d/report2024.xls" << 2 << "/d/report20242.xls";
    QTest::newRow("2_xls inside the name stays") << "/d/a2_xls.xls" << 3 << "/d/a2_xls3.xls";
    QTest::newRow("upper-case ending") << "/d/report.XLS" << 1 << "/d/report1.XLS";
    QTest::newRow("no ending: .xls appended") << "/d/backup" << 2 << "/d/backup2.xls";
    QTest::newRow(".xls not at the end") << "/d/b.xls.txt" << 1 << "/d/b.xls.txt1.xls";
    QTest::newRow("folder with .xls untouched")
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
    QTest::newRow("3 pages written over each other")
        << 3 << Served << 3 << QList<int> { 1, 2, 3 } << done;
    QTest::newRow("count 1 fetching a page 2") << 1 << Served << 1 << QList<int> { 1 } << done;
    QTest::newRow("count 0 fetching no page") << 0 << Served << 1 << QList<int> { 1 } << done;
    QTest::newRow("count -5 fetching no page") << -5 << Served << 1 << QList<int> { 1 } << done;
    QTest::newRow("404 page saved as a page") << 3 << NotFound << 2 << QList<int> { 1 } << failed;
    QTest::newRow("500 page saved as a page")
        << 3 << ServerError << 2 << QList<int> { 1 } << failed;
    QTest::newRow("page cut off halfway kept") << 3 << CutOff << 2 << QList<int> { 1 } << failed;
    QTest::newRow("silent server waited on for ever")
        << 3 << NeverAnswered << 2 << QList<int> { 1 } << failed;
    QTest::newRow("unwritable page file ends silently")
        << 3 << Unwritable << 1 << QList<int> { 1 } << QString("备份失败：无法写入文件%1");
    QTest::newRow("declined save question still downloads")
        << 3 << Declined << 0 << QList<int>() << QString();
    QTest::newRow("cancel during page 2 goes on")
        << 3 << Cancel << 2 << QList<int> { 1 } << QString("备份已取消");
}

void tst_Down::exportPages()
{
    QFETCH(int, count);
    QFETCH(Page2, page2);
    QFETCH(int, requests);
    QFETCH(QList<int>, saved);
    QFETCH(QString, notice);

    servePages("7");
    TestServer::Response broken;
    broken.status = page2 == NotFound ? 404 : page2 == ServerError ? 500 : 200;
    broken.body = pageBody(2);
    broken.dropAfter = page2 == CutOff ? 1000 : -1;
    broken.silent = page2 == NeverAnswered;
    broken.trickleMs = page2 == Cancel ? 50 : 0; // goes on long after the cancel
    if (page2 != Served)
        server->serve(backupPath + "?id=7&pageindex=2", broken);
    const QString page2File = dir->filePath("backup2.xls");
    if (page2 == Unwritable)
        QVERIFY(QDir().mkdir(page2File));

    QPointer<down> job;
    QStringList progress; // what the progress window showed as each page was asked for
    connect(server.get(), &TestServer::requestReceived, this, [&] {
        if (job && job->isVisible())
            progress << job->findChild<QLabel *>()->text();
    });
    job = startExport(page2 == Declined ? QString() : dir->filePath("backup.xls"), "7", count);
    if (page2 == Cancel) {
        QTRY_COMPARE(server->requests().size(), 2);
        job->findChild<QPushButton *>()->click();
    }
    QTRY_VERIFY_WITH_TIMEOUT(job.isNull(), 10000);

    QCOMPARE(suggested, "backup.xls");
    QCOMPARE(server->requests().size(), requests);
    QStringList expectedProgress;
    for (int page = 1; page <= requests; ++page) {
        expectedProgress
            << QStringLiteral("正在备份：第%1页，共%2页").arg(page).arg(qMax(count, 1));
        const TestServer::Request &request = server->requests().at(page - 1);
        QCOMPARE(request.target, backupPath + "?id=7&pageindex=" + QByteArray::number(page));
        QCOMPARE(request.header("User-Agent"), QByteArray(Download::userAgent.data()));
        QCOMPARE(request.header("Cookie"), QByteArray());
        QCOMPARE(request.othersInFlight, 0);
    }
    QStringList expectedFiles;
    for (int page : saved) {
        expectedFiles << QStringLiteral("backup%1.xls").arg(page);
        QFile file(dir->filePath(expectedFiles.last()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), pageBody(page));
    }
    QCOMPARE(progress, expectedProgress);
    QCOMPARE(savedFiles(), expectedFiles);
    notice.replace(QStringLiteral("%1"), QDir::toNativeSeparators(page2File));
    QCOMPARE(notices(), notice.isEmpty() ? QStringList() : QStringList { notice });
}

void tst_Down::twoExportsAtOnce()
{
    servePages("1");
    servePages("2");
    const QPointer<down> first = startExport(dir->filePath("a.xls"), "1", 2);
    const QPointer<down> second = startExport(dir->filePath("b.xls"), "2", 2);
    QTRY_VERIFY(first.isNull() && second.isNull());
    QCOMPARE(savedFiles(), QStringList({ "a1.xls", "a2.xls", "b1.xls", "b2.xls" }));
    QCOMPARE(notices(), QStringList({ "备份完成", "备份完成" }));
}

TAVREL_TEST_MAIN(tst_Down)
#include "tst_down.moc"
