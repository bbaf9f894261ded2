#pragma once

#include <QObject>

#include <memory>

class QPrinter;
class QWebEngineView;

// Prints a view's page through Qt's print dialog, when its scripts call window.print() and when
// the user presses Ctrl+P in its window: the page as the engine lays it out for print, on the
// printer chosen there or into a PDF file. A request while the dialog is open or the page is
// still printing is ignored.
class PagePrinter : public QObject
{
    Q_OBJECT
public:
    explicit PagePrinter(QWebEngineView *view);
    ~PagePrinter() override;

    void print();

private:
    QWebEngineView *view;
    // Kept until the engine has finished printing into it.
    std::unique_ptr<QPrinter> printer;
};
