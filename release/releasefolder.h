#pragma once

#include <QLockFile>
#include <QString>

#include <functional>
#include <optional>

// The server's update folder, published atomically. UPDATE_DIR is a relative symbolic link to one
// complete release folder in the sibling "<name>.releases/", which holds nothing but this class's
// release folders (named after their versions) and its temporary entries (named with a leading
// dot). A release is built in a staging folder there, synced, given its final name, and swapped
// in with one rename of the link, so readers of UPDATE_DIR see one whole release at every instant.
class ReleaseFolder
{
public:
    explicit ReleaseFolder(const QString &updateDir);
    // A run refused halfway takes its staging folder back; one stopped dead by the step hook
    // leaves it, as a kill would, to the next run.
    ~ReleaseFolder();

    // Test seam: called with 0, 1, 2, … between the steps of a run (Release adds its own in
    // between); returning false stops the run dead there, as a kill would.
    void setStepHook(std::function<bool(int)> hook) { stepHook = std::move(hook); }
    // Empty to go on; otherwise the run stops here, and this says so.
    QString step();

    // Claims the releases folder for this run, removes what a stopped run left there and makes
    // the empty staging folder. Empty on success, else what is wrong.
    QString begin();
    // Where the release's files, list and signature go, each synced by its writer.
    QString stagingPath() const;
    // Names the staged release after its version and makes it the one UPDATE_DIR serves; then
    // removes every release folder but that one and the one served before. Empty on success.
    QString publish(const QString &version);

    static constexpr QLatin1StringView releasesSuffix { ".releases" };

private:
    QString entry(const QString &name) const { return releases + u'/' + name; }
    // A name for a release of this version, free in the releases folder.
    QString freeName(const QString &version) const;
    QString removeLeftovers();
    // The name of the release folder UPDATE_DIR links to, empty when it is none of ours.
    QString servedRelease() const;
    // Makes the release the one served, then removes the releases no longer kept.
    QString swapIn(const QString &release);
    // Exchanges UPDATE_DIR, a real folder, with a link to the release in one step; the folder
    // becomes the release before it. Nothing when the system cannot exchange two entries.
    std::optional<QString> exchange(const QString &target, const QString &before);
    // Renames a new link over UPDATE_DIR, moving a real folder aside first when there is one.
    QString replaceLink(const QString &target, const QString &aside);
    QString removeOldReleases(const QString &kept, const QString &before);

    const QString updateDir; // absolute and clean
    const QString parent;
    const QString releases;
    QLockFile lock; // held from begin() to the end of the run
    std::function<bool(int)> stepHook;
    int point = 0;
    bool staged = false; // begin() made the staging folder, which publish() names
    bool stopped = false;
};
