#pragma once

#include <QWebEnginePage>

// A page of the web application. It belongs to the client's one profile, which keeps it until
// the client quits, whatever happens to the view that shows it. It opens no new windows of
// its own: pages reach further windows only through the client's script object.
class webPage : public QWebEnginePage
{
public:
    webPage();
};
