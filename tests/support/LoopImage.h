#pragma once

#include <QString>
#include <QTemporaryDir>

#include <optional>

namespace mallowby::test {

// A sparse image file attached to a loop device and mounted, for root-only tests.
// Everything is undone on destruction (unmounted, detached, deleted).
class LoopImage {
public:
    // The image file is `fileName` in a fresh temporary folder; the drive takes its name. `type`
    // is the file system: ext4 or btrfs.
    explicit LoopImage(const QString& label, int megabytes = 32, const QString& fileName = QStringLiteral("disk.img"),
                       const QString& type = QStringLiteral("ext4"));
    ~LoopImage();
    LoopImage(const LoopImage&) = delete;
    LoopImage& operator=(const LoopImage&) = delete;

    // Empty when something failed; error() says what.
    bool isReady() const { return m_error.isEmpty(); }
    const QString& error() const { return m_error; }

    const QString& imagePath() const { return m_image; }
    const QString& device() const { return m_device; }  // "/dev/loopN"
    const QString& mountPath() const { return m_mountPath; }

    bool mount();
    // Waits until udisks2 has taken in the loop device; false after 10 seconds.
    bool waitForUdisks() const;
    bool unmount();
    bool isMounted() const { return m_mounted; }
    // What the kernel says now, whoever changed it: the mount point is in the mount table; the
    // loop device still has its image attached.
    bool isInMountTable() const;
    bool isAttached() const;
    // The program under test ejected the image (unmounted and detached it): only the file is
    // left to remove, and the loop device may already serve someone else.
    void markEjected()
    {
        m_mounted = false;
        m_device.clear();
    }

private:
    bool step(const QString& program, const QStringList& arguments, QString* out = nullptr);

    QTemporaryDir m_dir;
    QString m_image;
    QString m_device;
    QString m_mountPath;
    QString m_error;
    bool m_mounted = false;
};

} // namespace mallowby::test
