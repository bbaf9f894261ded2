#pragma once

#include "demosession.h"

#include <QHttpServer>
#include <QString>

class QHttpServerRequest;

// Stands in for the office web application: serves the pages and the update list the desktop
// client expects, on 127.0.0.1 only.
class DemoServer
{
public:
    explicit DemoServer(const QString &rootDir);
    DemoServer(const DemoServer &) = delete;
    DemoServer &operator=(const DemoServer &) = delete;

    bool hasRoot() const { return !m_root.isEmpty(); }
    // Serves /update/ from this folder, or from the folder it links to at the time of each
    // request, instead of the root's update folder; false when there is no such folder.
    bool setUpdateDir(const QString &dir);
    quint16 listen(quint16 port);
    QString baseUrl() const { return m_baseUrl; }

private:
    QHttpServerResponse serve(const QHttpServerRequest &request);
    QString filePathFor(const QHttpServerRequest &request) const;
    static QHttpServerResponse backupPage(const QHttpServerRequest &request);
    static QHttpServerResponse notFound();
    static void log(const QHttpServerRequest &request, QHttpServerResponse::StatusCode status);

    QHttpServer m_server;
    QString m_root;
    QString m_updateDir;
    QString m_baseUrl;
    DemoSession m_session;
};
