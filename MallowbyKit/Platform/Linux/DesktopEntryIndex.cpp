#include "Platform/Linux/DesktopEntryIndex.h"

#include "Platform/Linux/LinuxMountTable.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <poll.h>
#include <sys/resource.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace mallowby {

namespace {

constexpr uint32_t directoryChanges = IN_CREATE | IN_DELETE | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB
                                      | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr uint32_t applicationsCreated = IN_CREATE | IN_MOVED_TO | IN_ONLYDIR;
// Changes closer together than this are read as one.
constexpr int settleMs = 150;

} // namespace

struct DesktopEntryIndex::State {
    struct Contents {
        QHash<QString, DesktopEntry> byId;
        QHash<QString, DesktopEntry> byPath;      // absolute program → entry
        QHash<QString, DesktopEntry> byName;      // bare program name → entry
        QHash<QString, DesktopEntry> byFileName;  // file name of an absolute program → entry
    };
    // A directory to be told about: an applications directory (any change), or a data directory
    // without one (its creation only).
    struct Watch {
        QString path;
        bool forApplications = false;
    };

    QStringList dataDirs;
    QString localeName;
    LocalCheck isLocal;
    int wake = -1;
    std::chrono::steady_clock::time_point created = std::chrono::steady_clock::now();

    std::mutex lock;
    std::condition_variable ready;
    std::shared_ptr<const Contents> contents;
    quint64 generation = 0;

    // The latest reading, once there is one: lookups wait for the first until readyLimit after
    // construction, then answer at once.
    std::shared_ptr<const Contents> latest()
    {
        std::unique_lock guard(lock);
        ready.wait_until(guard, created + readyLimit, [&] { return contents != nullptr; });
        return contents;
    }

    ~State()
    {
        if (wake >= 0)
            ::close(wake);
    }

    Contents read(QList<Watch>& watches) const
    {
        Contents contents;
        const auto insert = [](QHash<QString, DesktopEntry>& hash, const QString& key, const DesktopEntry& entry) {
            if (!key.isEmpty() && !hash.contains(key))
                hash.insert(key, entry);
        };
        for (const QString& dir : dataDirs) {
            const QString applications = dir + QStringLiteral("/applications");
            const bool local = isLocal(applications);
            if (!QFileInfo(applications).isDir()) {
                if (local && QFileInfo(dir).isDir())
                    watches.append({dir, true});
                continue;
            }
            if (local)
                watches.append({applications, false});
            QDirIterator files(applications, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
            while (files.hasNext()) {
                const QString path = files.next();
                const QFileInfo info = files.fileInfo();
                if (info.isDir()) {
                    if (local)
                        watches.append({path, false});
                    continue;
                }
                if (!path.endsWith(QLatin1String(".desktop")))
                    continue;
                const auto entry = DesktopEntry::load(path, localeName);
                if (!entry)
                    continue;
                if (info.path() == applications)
                    insert(contents.byId, info.completeBaseName(), *entry);
                for (const auto& program : {entry->program, entry->tryExec}) {
                    if (!program)
                        continue;
                    if (program->startsWith(QLatin1Char('/'))) {
                        insert(contents.byPath, QDir::cleanPath(*program), *entry);
                        insert(contents.byFileName, program->section(QLatin1Char('/'), -1), *entry);
                    } else if (!program->contains(QLatin1Char('/'))) {
                        insert(contents.byName, *program, *entry);
                    }
                }
            }
        }
        return contents;
    }

    void publish(Contents read)
    {
        std::lock_guard guard(lock);
        contents = std::make_shared<const Contents>(std::move(read));
        ++generation;
        ready.notify_all();
    }

    // Reads the directories, then again after each change, until woken.
    static void run(std::shared_ptr<State> state)
    {
        // Low priority, yet not so low that a busy machine starves it (SCHED_IDLE or nice 19 barely run there).
        ::setpriority(PRIO_PROCESS, pid_t(::gettid()), 10);
        ::syscall(SYS_ioprio_set, 1 /* IOPRIO_WHO_PROCESS: this thread */, 0, (2 << 13) | 7 /* best effort, lowest */);
        const int notify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        QHash<int, bool> watching;  // descriptor → for the creation of "applications" only
        // Whether a directory not watched before is now.
        const auto watchAll = [&](const QList<Watch>& watches) {
            bool grew = false;
            for (const Watch& watch : watches) {
                const QByteArray path = QFile::encodeName(watch.path);
                const int wd = notify < 0 ? -1
                                          : ::inotify_add_watch(notify, path.constData(),
                                                                watch.forApplications ? applicationsCreated : directoryChanges);
                if (wd >= 0) {
                    grew = grew || !watching.contains(wd);
                    watching.insert(wd, watch.forApplications);
                }
            }
            return grew;
        };
        // Watched before the first reading, so that no change after it goes unseen.
        QList<Watch> topLevel;
        for (const QString& dir : state->dataDirs) {
            const QString applications = dir + QStringLiteral("/applications");
            if (state->isLocal(applications))
                topLevel.append(QFileInfo(applications).isDir() ? Watch{applications, false} : Watch{dir, true});
        }
        watchAll(topLevel);
        for (bool first = true;; first = false) {
            QList<Watch> watches;
            Contents contents = state->read(watches);
            const bool grew = watchAll(watches);
            state->publish(std::move(contents));
            // A directory that appeared since may have gained entries before it was watched.
            if (grew && !first)
                continue;
            if (!waitForChange(*state, notify, watching))
                break;
        }
        if (notify >= 0)
            ::close(notify);
    }

    // False when woken to stop.
    static bool waitForChange(const State& state, int notify, const QHash<int, bool>& watching)
    {
        bool changed = false;
        for (;;) {
            pollfd fds[2] = {{state.wake, POLLIN, 0}, {notify, POLLIN, 0}};
            const int ready = ::poll(fds, notify < 0 ? 1 : 2, changed ? settleMs : -1);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0 || (fds[0].revents & POLLIN))
                return false;
            if (ready == 0)
                return true;  // settled
            alignas(inotify_event) char buffer[16 * 1024];
            for (ssize_t got; (got = ::read(notify, buffer, sizeof buffer)) > 0;) {
                for (char* p = buffer; p < buffer + got;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(p);
                    const bool creationOnly = watching.value(event->wd, false);
                    if (!creationOnly || (event->len && qstrcmp(event->name, "applications") == 0))
                        changed = changed || watching.contains(event->wd);
                    p += sizeof(inotify_event) + event->len;
                }
            }
        }
    }
};

DesktopEntryIndex::DesktopEntryIndex(QStringList dataDirs, QString localeName, LocalCheck isLocal)
    : m_state(std::make_shared<State>())
{
    m_state->dataDirs = std::move(dataDirs);
    m_state->localeName = std::move(localeName);
    m_state->isLocal = std::move(isLocal);
    m_state->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::thread(&State::run, m_state).detach();
}

DesktopEntryIndex::~DesktopEntryIndex()
{
    // The thread ends at its next wait; a read stuck on a dead share ends it later.
    const uint64_t one = 1;
    (void)!::write(m_state->wake, &one, sizeof one);
}

bool DesktopEntryIndex::onLocalDisk(const QString& dir)
{
    // The mount holding the directory, by text: the longest mount point that contains it.
    const VolumeStore::Mount* best = nullptr;
    const QList<VolumeStore::Mount> mounts = LinuxMountTable().read();
    for (const VolumeStore::Mount& mount : mounts) {
        const bool within = mount.path == QLatin1String("/") || dir == mount.path
                            || dir.startsWith(mount.path + QLatin1Char('/'));
        if (within && (!best || mount.path.size() >= best->path.size()))
            best = &mount;
    }
    // A FUSE server can stop answering as a network share does.
    return best && best->isLocal && !best->type.startsWith(QLatin1String("fuse"));
}

bool DesktopEntryIndex::waitReady(std::chrono::milliseconds limit) const
{
    std::unique_lock guard(m_state->lock);
    return m_state->ready.wait_for(guard, limit, [&] { return m_state->contents != nullptr; });
}

quint64 DesktopEntryIndex::generation() const
{
    std::lock_guard guard(m_state->lock);
    return m_state->generation;
}

std::optional<DesktopEntry> DesktopEntryIndex::byId(const QString& appId) const
{
    const auto contents = m_state->latest();
    if (!contents)
        return std::nullopt;
    const auto found = contents->byId.constFind(appId);
    return found == contents->byId.cend() ? std::nullopt : std::optional(*found);
}

std::optional<DesktopEntry> DesktopEntryIndex::byProgram(const QString& executable) const
{
    const auto contents = m_state->latest();
    if (!contents)
        return std::nullopt;
    const QString name = executable.section(QLatin1Char('/'), -1);
    for (const auto* hash : {&contents->byPath, &contents->byName, &contents->byFileName}) {
        const QString& key = hash == &contents->byPath ? executable : name;
        if (const auto found = hash->constFind(key); found != hash->cend())
            return *found;
    }
    return std::nullopt;
}

} // namespace mallowby
