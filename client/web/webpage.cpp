#include "webpage.h"

#include "webprofile.h"

#include <QWebEngineProfile>

webPage::webPage()
    : QWebEnginePage(WebProfile::profile(), WebProfile::profile())
{ }
