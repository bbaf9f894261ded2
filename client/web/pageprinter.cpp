#include "pageprinter.h"

#include "htmlview.h"

#include <QPrintDialog>
#include <QPrinter>
#include <QShortcut>
#include <QWebEngineView>

PagePrinter::PagePrinter(QWebEngineView *view)
    : QObject(view)
    , view(view)
{
    connect(view, &QWebEngineView::printRequested, this, &PagePrinter::print);
    new QShortcut(QKeySequence::Print, view, this, &PagePrinter::print);
    connect(view, &QWebEngineView::printFinished, this, [this](bool ok) {
        qCDebug(lcWeb) << "printed:" << ok;
        printer.reset();
    });
    connect(view, &QWebEngineView::pdfPrintingFinished, this, [this](const QString &, bool ok) {
        qCDebug(lcWeb) << "printed to PDF:" << ok;
        printer.reset();
    });
}

PagePrinter::~PagePrinter() = default;

void PagePrinter::print()
{
    if (printer)
        return;
    printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
    QPrintDialog dialog(printer.get(), view->window());
    dialog.setWindowTitle(tr("打印"));
    if (dialog.exec() != QDialog::Accepted) {
        printer.reset();
        return;
    }
    qCDebug(lcWeb) << "printing" << view->url() << "to" << printer->printerName()
                   << printer->outputFileName();
    // The engine's own PDF keeps the page's text and links; a printer gets its pages as images.
    if (printer->outputFormat() == QPrinter::PdfFormat && !printer->outputFileName().isEmpty())
        view->printToPdf(printer->outputFileName(), printer->pageLayout(), printer->pageRanges());
    else
        view->print(printer.get());
}
