#pragma once

#include "Platform/Linux/DesktopEntry.h"

#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>

namespace mallowby {

// The desktop entries of the applications directories, read once on a thread of its own at the
// lowest priority and read again whenever an applications directory on a local disk changes (inotify).
// Programs are compared as text: an entry's Exec or TryExec program is never looked up on the file
// system, since it may lie on a share that no longer answers.
class DesktopEntryIndex {
public:
    // Whether a directory lies on a local disk, where change notifications are asked for.
    using LocalCheck = std::function<bool(const QString& dir)>;

    // Lookups wait for the first reading until this long after construction, then answer at once.
    static constexpr auto readyLimit = std::chrono::seconds(3);

    DesktopEntryIndex(QStringList dataDirs, QString localeName, LocalCheck isLocal = onLocalDisk);
    ~DesktopEntryIndex();
    DesktopEntryIndex(const DesktopEntryIndex&) = delete;
    DesktopEntryIndex& operator=(const DesktopEntryIndex&) = delete;

    // APPID.desktop directly in the first applications directory that has it.
    std::optional<DesktopEntry> byId(const QString& appId) const;
    // The entry whose program is `executable` as written, or else one naming the program by its
    // file name only (as found on PATH), or else one whose absolute program has that file name
    // (a link to it, say). The first directory's entry wins.
    std::optional<DesktopEntry> byProgram(const QString& executable) const;

    // Waits for the first reading of the directories, at most `limit`; whether it is done.
    bool waitReady(std::chrono::milliseconds limit) const;
    // How often the directories were read.
    quint64 generation() const;

    static bool onLocalDisk(const QString& dir);

private:
    struct State;  // shared with the thread, which may outlive the index while a read hangs
    std::shared_ptr<State> m_state;
};

} // namespace mallowby
