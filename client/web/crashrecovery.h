#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QWebEnginePage>

class HtmlView;

// Brings a view's page back when its renderer ends abnormally (a crash, a kill, out of memory):
// the page is loaded again once; when its renderer ends again within a minute of that, the
// failure page says so and offers 重试 instead, so that a page that kills its renderer does not
// keep the machine busy.
class CrashRecovery : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 repeatWindowMs = 60000;

    explicit CrashRecovery(HtmlView *view);

private:
    void onTerminated(QWebEnginePage::RenderProcessTerminationStatus status);

    HtmlView *view;
    QElapsedTimer lastEnd;
};
