#include "Platform/Linux/UDisks2Service.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QCoro/QCoroProcess>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include "Support/FilePath.h"
#include "Support/OneShot.h"

#include <QCoro/QCoroTimer>
#include <QProcess>
#include <QStandardPaths>

#include <cerrno>
#include <limits>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace mallowby {

namespace {

const QString service = QStringLiteral("org.freedesktop.UDisks2");
const QString blockInterface = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString partitionInterface = QStringLiteral("org.freedesktop.UDisks2.Partition");
const QString filesystemInterface = QStringLiteral("org.freedesktop.UDisks2.Filesystem");
const QString encryptedInterface = QStringLiteral("org.freedesktop.UDisks2.Encrypted");
const QString loopInterface = QStringLiteral("org.freedesktop.UDisks2.Loop");
const QString driveInterface = QStringLiteral("org.freedesktop.UDisks2.Drive");
const QString mdraidInterface = QStringLiteral("org.freedesktop.UDisks2.MDRaid");
const QString lvmBlockInterface = QStringLiteral("org.freedesktop.UDisks2.Block.LVM2");
const QString logicalVolumeInterface = QStringLiteral("org.freedesktop.UDisks2.LogicalVolume");
const QString managerPath = QStringLiteral("/org/freedesktop/UDisks2/Manager");
const QString managerInterface = QStringLiteral("org.freedesktop.UDisks2.Manager");
constexpr int queryTimeoutMs = 120 * 1000;
// libdbus's "no timeout": an unmount lasts as long as the write-out of the cache.
constexpr int noTimeout = std::numeric_limits<int>::max();
constexpr auto probeInterval = std::chrono::milliseconds(500);

void registerTypes()
{
    static const bool registered = [] {
        qDBusRegisterMetaType<UDisks2Service::Interfaces>();
        qDBusRegisterMetaType<UDisks2Service::ManagedObjects>();
        return true;
    }();
    Q_UNUSED(registered);
}

// udisks2 byte-string properties end with a NUL.
QByteArray bytes(const QVariant& value)
{
    QByteArray data = value.toByteArray();
    while (data.endsWith('\0'))
        data.chop(1);
    return data;
}

QList<QByteArray> byteStrings(const QVariant& value)
{
    QList<QByteArray> list;
    if (value.canConvert<QDBusArgument>())
        list = qdbus_cast<QByteArrayList>(value.value<QDBusArgument>());
    else
        list = value.value<QByteArrayList>();
    for (QByteArray& item : list)
        while (item.endsWith('\0'))
            item.chop(1);
    return list;
}

QString objectPath(const QVariant& value)
{
    const QString path = value.value<QDBusObjectPath>().path();
    return path == QLatin1String("/") ? QString() : path;
}

Dissent notFound(const QString& what)
{
    return Dissent{Dissent::notFound, what + QStringLiteral(" not found")};
}

Dissent unavailable()
{
    return Dissent{Dissent::unsupported, QStringLiteral("udisks2 is not available")};
}

// The udisks object of the block device /dev/NAME.
QString blockObject(const UDisks2Service::ManagedObjects& objects, const QString& bsdName)
{
    const QByteArray device = "/dev/" + bsdName.toUtf8();
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
        const auto block = it->constFind(blockInterface);
        if (block == it->cend())
            continue;
        if (bytes(block->value(QStringLiteral("Device"))) == device
            || bytes(block->value(QStringLiteral("PreferredDevice"))) == device)
            return it.key().path();
    }
    return {};
}

// NAME of the /dev/NAME that a block object stands for.
QString deviceName(const UDisks2Service::ManagedObjects& objects, const QString& path)
{
    const QByteArray device = bytes(objects.value(QDBusObjectPath(path)).value(blockInterface).value(QStringLiteral("Device")));
    return QString::fromUtf8(device.mid(device.lastIndexOf('/') + 1));
}

} // namespace

UDisks2Service::UDisks2Service(QDBusConnection bus, DeviceProbe probe, std::chrono::milliseconds shareLimit)
    : m_bus(std::move(bus)), m_probe(std::move(probe)), m_shareLimit(shareLimit)
{
    registerTypes();
}

UDisks2Service::DeviceState UDisks2Service::probeDevice(const QString& bsdName)
{
    const QByteArray name = bsdName.toUtf8();
    if (name.contains('/') || ::access(("/sys/class/block/" + name).constData(), F_OK) != 0)
        return DeviceState::gone;
    // A mounted file system (even one unmounted lazily that is still in use), a mapping or an
    // array claims its device exclusively.
    const int fd = ::open(("/dev/" + name).constData(), O_RDONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return DeviceState::released;
    }
    if (errno == ENOENT || errno == ENXIO || errno == ENODEV)
        return DeviceState::gone;
    return DeviceState::held;
}

QCoro::Task<UDisks2Service::DeviceState> UDisks2Service::probe(QString device) const
{
    const auto answer = OneShot<DeviceState>::make();
    // A thread of its own: a probe of a dying device may wait in the kernel.
    std::thread([probe = m_probe, device, answer] { answer->complete(probe(device)); }).detach();
    co_return co_await *answer;
}

QCoro::Task<> UDisks2Service::waitFor(QString device, DeviceState state)
{
    for (;;) {
        const DeviceState now = co_await probe(device);
        if (now == DeviceState::gone || now == state)
            co_return;
        co_await QCoro::sleepFor(probeInterval);
    }
}

QCoro::Task<bool> UDisks2Service::isReleased(QString bsdName)
{
    co_return co_await probe(bsdName) != DeviceState::held;
}

Dissent UDisks2Service::dissentOf(const QString& errorName, const QString& message)
{
    // Lock, Stop and Deactivate report a holder as a generic failure whose cause is EBUSY.
    if (errorName == QLatin1String("org.freedesktop.UDisks2.Error.DeviceBusy")
        || (errorName.startsWith(QLatin1String("org.freedesktop.UDisks2.Error."))
            && (message.contains(QLatin1String("Device or resource busy")) || message.contains(QLatin1String("target is busy")))))
        return Dissent{Dissent::busy, message};
    if (errorName.startsWith(QLatin1String("org.freedesktop.UDisks2.Error.NotAuthorized")))
        return Dissent{Dissent::notPermitted, message};
    if (errorName == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown")
        || errorName == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")
        || errorName == QLatin1String("org.freedesktop.DBus.Error.Disconnected")
        || errorName == QLatin1String("org.freedesktop.DBus.Error.NoServer"))
        return unavailable();
    if (errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownObject")
        || errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod"))
        return Dissent{Dissent::notFound, message};
    return Dissent{Dissent::unknownError, message.isEmpty() ? std::optional<QString>() : std::optional(message)};
}

Dissent UDisks2Service::dissentOfCommand(const QString& errorOutput)
{
    const QString text = errorOutput.trimmed();
    if (text.contains(QLatin1String("target is busy")) || text.contains(QLatin1String("Device or resource busy")))
        return Dissent{Dissent::errnoBase + EBUSY, text};
    if (text.contains(QLatin1String("not mounted")) || text.contains(QLatin1String("not found")))
        return Dissent{Dissent::notFound, text};
    if (text.contains(QLatin1String("Operation not permitted")) || text.contains(QLatin1String("must be superuser")))
        return Dissent{Dissent::notPermitted, text};
    return Dissent{Dissent::unknownError, text.isEmpty() ? std::optional<QString>() : std::optional(text)};
}

QCoro::Task<std::optional<UDisks2Service::ManagedObjects>> UDisks2Service::managedObjects()
{
    if (!m_bus.isConnected())
        co_return std::nullopt;
    const QString path = QStringLiteral("/org/freedesktop/UDisks2");
    const QString interface = QStringLiteral("org.freedesktop.DBus.ObjectManager");
    const QString method = QStringLiteral("GetManagedObjects");
    const QDBusMessage request = QDBusMessage::createMethodCall(service, path, interface, method);
    QDBusPendingCall pending = m_bus.asyncCall(request, queryTimeoutMs);
    const QDBusMessage reply = co_await pending;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        co_return std::nullopt;
    co_return qdbus_cast<ManagedObjects>(reply.arguments().at(0).value<QDBusArgument>());
}

QCoro::Task<std::optional<Dissent>> UDisks2Service::call(QString path, QString interface, QString method, QVariantMap options,
                                                         QString device, DeviceState until)
{
    QDBusMessage request = QDBusMessage::createMethodCall(service, path, interface, method);
    // What the desktop's polkit agent lets the user authorize (a mount from fstab, a volume
    // unlocked at boot) is asked for rather than refused.
    request.setInteractiveAuthorizationAllowed(true);
    options.insert(QStringLiteral("auth.no_user_interaction"), false);
    request << options;
    QDBusPendingCall pending = m_bus.asyncCall(request, noTimeout);
    const QDBusMessage reply = co_await pending;
    if (reply.type() != QDBusMessage::ErrorMessage)
        co_return std::nullopt;
    // No reply is no refusal: udisks2 may still be writing the device out.
    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply")
        || reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.Timeout")
        || reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.TimedOut")) {
        co_await waitFor(device, until);
        co_return std::nullopt;
    }
    co_return dissentOf(reply.errorName(), reply.errorMessage());
}

QCoro::Task<> UDisks2Service::enableLvm()
{
    if (m_lvmEnabled)
        co_return;
    m_lvmEnabled = true;
    // Loaded on demand by udisksd; without it logical volumes have no LogicalVolume object.
    QDBusMessage request = QDBusMessage::createMethodCall(service, managerPath, managerInterface, QStringLiteral("EnableModules"));
    request << true;
    QDBusPendingCall pending = m_bus.asyncCall(request, queryTimeoutMs);
    co_await pending;  // an older udisks2 or a missing module leaves LVM as it was
}

QCoro::Task<UDisks2Service::Found> UDisks2Service::find(QString bsdName)
{
    Found found;
    if (bsdName.startsWith(QLatin1String("dm-")) && m_bus.isConnected())
        co_await enableLvm();
    const auto objects = co_await managedObjects();
    if (!objects) {
        found.refusal = unavailable();
        co_return found;
    }
    found.objects = *objects;
    found.disk = blockObject(found.objects, bsdName);
    if (found.disk.isEmpty())
        found.refusal = notFound(bsdName);
    co_return found;
}

QCoro::Task<std::optional<Dissent>> UDisks2Service::unmountDisk(QString bsdName, bool force)
{
    const Found found = co_await find(bsdName);
    if (found.refusal)
        co_return found.refusal;
    const ManagedObjects* objects = &found.objects;
    const QString& disk = found.disk;

    // The disk itself and its partitions, each file system mounted anywhere.
    QStringList blocks{disk};
    for (auto it = objects->cbegin(); it != objects->cend(); ++it) {
        const auto partition = it->constFind(partitionInterface);
        if (partition != it->cend() && objectPath(partition->value(QStringLiteral("Table"))) == disk)
            blocks.append(it.key().path());
    }
    QVariantMap options;
    if (force)
        options.insert(QStringLiteral("force"), true);
    for (const QString& block : std::as_const(blocks)) {
        const auto filesystem = objects->value(QDBusObjectPath(block)).value(filesystemInterface);
        if (byteStrings(filesystem.value(QStringLiteral("MountPoints"))).isEmpty())
            continue;
        if (auto dissent = co_await call(block, filesystemInterface, QStringLiteral("Unmount"), options,
                                         deviceName(*objects, block), DeviceState::released))
            co_return dissent;
    }

    // Close what the disk is: an active logical volume, an unlocked encrypted volume, a running
    // RAID array.
    const Interfaces diskInterfaces = objects->value(QDBusObjectPath(disk));
    if (const QString volume = objectPath(diskInterfaces.value(lvmBlockInterface).value(QStringLiteral("LogicalVolume")));
        !volume.isEmpty()) {
        if (auto dissent = co_await call(volume, logicalVolumeInterface, QStringLiteral("Deactivate"), {}, bsdName, DeviceState::gone))
            co_return dissent;
    }
    const auto diskBlock = diskInterfaces.value(blockInterface);
    if (const QString backing = objectPath(diskBlock.value(QStringLiteral("CryptoBackingDevice"))); !backing.isEmpty()) {
        if (auto dissent = co_await call(backing, encryptedInterface, QStringLiteral("Lock"), {}, bsdName, DeviceState::gone))
            co_return dissent;
    }
    if (const QString array = objectPath(diskBlock.value(QStringLiteral("MDRaid"))); !array.isEmpty()) {
        if (auto dissent = co_await call(array, mdraidInterface, QStringLiteral("Stop"), {}, bsdName, DeviceState::released))
            co_return dissent;
    }
    co_return std::nullopt;
}

QCoro::Task<std::optional<Dissent>> UDisks2Service::deleteLoop(QString bsdName, QString loop)
{
    auto dissent = co_await call(loop, loopInterface, QStringLiteral("Delete"), {}, bsdName, DeviceState::released);
    if (!dissent)
        co_return std::nullopt;
    // An auto-clear loop (mount -o loop, desktop image mounters) detaches itself with its last
    // unmount: the kernel answers ENXIO, or udisks2 already shows it gone or unbound.
    if (dissent->message && dissent->message->contains(QLatin1String("No such device or address")))
        co_return std::nullopt;
    const auto objects = co_await managedObjects();
    if (objects) {
        const QString now = blockObject(*objects, bsdName);
        const auto backing = objects->value(QDBusObjectPath(loop)).value(loopInterface).value(QStringLiteral("BackingFile"));
        if (now.isEmpty() || bytes(backing).isEmpty())
            co_return std::nullopt;
    }
    co_return dissent;
}

QCoro::Task<std::optional<Dissent>> UDisks2Service::ejectDisk(QString bsdName)
{
    const Found found = co_await find(bsdName);
    // A loop device gone with its last unmount is detached: what ejecting it would have done.
    if (found.refusal && found.refusal->status == Dissent::notFound && bsdName.startsWith(QLatin1String("loop")))
        co_return std::nullopt;
    if (found.refusal)
        co_return found.refusal;
    const ManagedObjects* objects = &found.objects;
    const QString& disk = found.disk;
    const Interfaces interfaces = objects->value(QDBusObjectPath(disk));
    if (interfaces.contains(loopInterface))
        co_return co_await deleteLoop(bsdName, disk);

    const QString drive = objectPath(interfaces.value(blockInterface).value(QStringLiteral("Drive")));
    if (drive.isEmpty())
        co_return std::nullopt;  // nothing physical to eject (a virtual disk)
    const QVariantMap driveProperties = objects->value(QDBusObjectPath(drive)).value(driveInterface);
    if (driveProperties.value(QStringLiteral("Ejectable")).toBool()) {
        if (auto dissent = co_await call(drive, driveInterface, QStringLiteral("Eject"), {}, bsdName, DeviceState::released))
            co_return dissent;
    }
    // Safe removal: spin down and cut power where the drive allows it.
    if (driveProperties.value(QStringLiteral("CanPowerOff")).toBool()) {
        if (auto dissent = co_await call(drive, driveInterface, QStringLiteral("PowerOff"), {}, bsdName, DeviceState::gone))
            co_return dissent;
    }
    co_return std::nullopt;
}

QCoro::Task<std::optional<Dissent>> UDisks2Service::unmountShare(VolumeStore::Mount mount, bool force)
{
    QString program;
    QStringList arguments;
    if (mount.type.startsWith(QLatin1String("fuse"))) {
        program = QStringLiteral("fusermount3");
        arguments << QStringLiteral("-u");
        if (force)
            arguments << QStringLiteral("-z");
    } else {
        program = QStringLiteral("umount");
        if (force)
            arguments << QStringLiteral("-l");
    }
    arguments << QStringLiteral("--") << mount.path;
    const QString executable = QStandardPaths::findExecutable(program);
    if (executable.isEmpty())
        co_return Dissent{Dissent::unknownError, QStringLiteral("%1 could not be started").arg(program)};
    // The arguments as the bytes they stand for: QProcess hands text over as UTF-8, which a mount
    // point that is not (a Latin-1 label, say) would lose, so the child starts the command itself.
    auto bytes = std::make_shared<std::vector<QByteArray>>();
    bytes->push_back(FilePath::encode(executable));
    for (const QString& argument : std::as_const(arguments))
        bytes->push_back(FilePath::encode(argument));
    auto argv = std::make_shared<std::vector<char*>>();
    for (QByteArray& argument : *bytes)
        argv->push_back(argument.data());
    argv->push_back(nullptr);

    // On the heap, and never destroyed while it runs: the destructor of a running QProcess waits
    // for it, and a child stuck on a dead server outlives its SIGKILL.
    auto* process = new QProcess;
    process->setWorkingDirectory(QStringLiteral("/"));
    process->setChildProcessModifier([bytes, argv] {
        ::execv(argv->front(), argv->data());
        ::_exit(127);
    });
    auto coProcess = qCoro(process);
    const bool started = co_await coProcess.start(executable, arguments);
    if (!started) {
        process->deleteLater();
        co_return Dissent{Dissent::unknownError, QStringLiteral("%1 could not be started").arg(program)};
    }
    co_await coProcess.waitForFinished(m_shareLimit);
    if (process->state() != QProcess::NotRunning) {
        // Reaped, and deleted, whenever the kernel lets it die.
        QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
        process->kill();
        co_return Dissent{Dissent::unknownError, QStringLiteral("%1 did not finish").arg(program)};
    }
    process->deleteLater();
    if (process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0)
        co_return std::nullopt;
    co_return dissentOfCommand(QString::fromLocal8Bit(process->readAllStandardError()));
}

} // namespace mallowby
