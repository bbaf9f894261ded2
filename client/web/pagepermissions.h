#pragma once

#include "ownorigins.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QWebEnginePage>

// Answers every permission request of the profile's pages, so that none is ever left pending:
// notifications of the web application's own origins are granted, its cameras, microphones,
// screen sharing and location are the user's to allow once per run, and anything else, or from
// any other origin, is denied at once. Nothing of it is kept beyond the run.
class PagePermissions : public QObject
{
    Q_OBJECT
public:
    explicit PagePermissions(QObject *parent);

    void request(QWebEnginePage *page, const QUrl &origin, QWebEnginePage::Feature feature);

private:
    using Key = QPair<QString, int>;
    struct Request
    {
        QPointer<QWebEnginePage> page;
        QUrl origin;
        QWebEnginePage::Feature feature;
    };

    void ask(const Key &key, const QString &what, const Request &first);
    void answer(const Key &key, bool allowed);

    OwnOrigins ownOrigins;
    QHash<Key, bool> answers;
    // Requests that wait for the question open for their origin and feature.
    QHash<Key, QList<Request>> waiting;
};
