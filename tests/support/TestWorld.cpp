#include "support/TestWorld.h"

#include "Platform/Linux/LinuxBlockRegistry.h"
#include "Platform/Linux/LinuxDiskDescriptions.h"

#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QThread>

namespace mallowby::test {

SpaceReader Capacities::reader() const
{
    return SpaceReader{std::chrono::seconds(2), [state = m_state](const QString& path) {
                           std::unique_lock guard(state->lock);
                           ++state->reads[path];
                           state->released.wait(guard, [&] { return !state->held; });
                           ++state->finished;
                           return state->byPath.value(path);
                       }};
}

TestWorld::TestWorld(const QStringList& sysfsFixtures)
    : tree(sysfsFixtures),
      settings(std::make_unique<QSettings>(config.filePath(QStringLiteral("mallowby.conf")), QSettings::IniFormat)),
      preferences(std::make_unique<Preferences>(*settings)),
      m_describedByTree(!sysfsFixtures.isEmpty())
{
}

TestWorld::~TestWorld()
{
    // Reads still waiting would outlive the test.
    capacities.hold(false);
}

void TestWorld::setMounts(const QList<std::pair<QString, QString>>& mounts)
{
    fake.table->mounts.clear();
    for (const auto& [path, source] : mounts)
        fake.table->mounts.append(FakeVolumePlatform::mount(path, source));
}

void TestWorld::remount(const QList<std::pair<QString, QString>>& mounts)
{
    setMounts(mounts);
    store->scheduleRebuild();
    settle();
}

VolumeStore& TestWorld::startStore()
{
    VolumeStore::Platform platform = fake.platform();
    if (m_describedByTree)
        platform.descriptions = std::make_shared<LinuxDiskDescriptions>(Sysfs(tree.root()), nullptr);
    store = std::make_unique<VolumeStore>(capacities.reader(), std::move(platform), clock);
    QObject::connect(store.get(), &VolumeStore::volumesChanged, [this] { ++publications; });
    store->start();
    return *store;
}

DriveMonitor& TestWorld::startMonitor(std::function<std::unique_ptr<ScreenEvents>()> screenEvents)
{
    monitor = std::make_unique<DriveMonitor>(
        *store, DriveMonitor::Platform{std::make_shared<LinuxBlockRegistry>(Sysfs(tree.root())), std::move(screenEvents)}, clock);
    monitor->start();
    return *monitor;
}

Notifier& TestWorld::startNotifier(std::shared_ptr<NotificationServer> server, const QHash<QString, QString>& variables)
{
    environment = std::make_unique<LaunchEnvironment>(variables);
    notifier = std::make_unique<Notifier>(*store, *monitor, *preferences, std::move(server), clock, *environment);
    notifier->start();
    return *notifier;
}

void TestWorld::settle()
{
    for (int i = 0; i < 8; ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(3);
    }
    QCoreApplication::processEvents();
}

void TestWorld::settleReads()
{
    TestEnvironment::waitUntil([this] { return capacities.finished() == capacities.reads(); }, std::chrono::seconds(5));
    settle();
}

bool TestWorld::waitForFigures() const
{
    const auto filled = [this] { return std::all_of(store->volumes().cbegin(), store->volumes().cend(), [](const Volume& v) { return v.space.has_value(); }); };
    return TestEnvironment::waitUntil(filled, std::chrono::seconds(5));
}

const Volume* TestWorld::volumeAt(const QString& path) const
{
    const auto it = std::find_if(store->volumes().cbegin(), store->volumes().cend(), [&](const Volume& v) { return v.mountPath == path; });
    return it == store->volumes().cend() ? nullptr : &*it;
}

bool TestWorld::fill(const QString& path, qint64 total, qint64 available)
{
    const Space space{total, available, available, false};
    capacities.set(path, space);
    if (const Volume* volume = volumeAt(path))
        store->refreshSpace(volume->id);
    return TestEnvironment::waitUntil([&] { return volumeAt(path) && volumeAt(path)->space == space; }, std::chrono::seconds(5));
}

} // namespace mallowby::test
