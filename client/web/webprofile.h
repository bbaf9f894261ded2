#pragma once

class PageDownloads;
class PageNotifications;
class PagePermissions;
class QWebEngineProfile;

// The one web profile of the client: every page of every window loads through it, so the
// pages share their cookies, HTTP cache and web storage. Cache and storage live in
// <program dir>/cache and survive a restart; cookies live in memory only.
class WebProfile
{
public:
    // Created on first use, which must come after the run's random number is drawn: the user
    // agent is fixed then, before the first page exists.
    static QWebEngineProfile *profile();

    // Saves what the profile's pages download.
    static PageDownloads *downloads();

    // Answers the permission requests of the profile's pages.
    static PagePermissions *permissions();

    // Shows the notifications of the profile's pages.
    static PageNotifications *notifications();

    // The engine commits web storage a few seconds late and only lets go of it when the
    // profile ends, which it refuses while pages are alive: deletes every page, then the
    // profile. Runs once the event loop has returned.
    static void release();
};
