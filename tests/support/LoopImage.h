#pragma once

#include <QString>
#include <QTemporaryDir>

namespace mallowby::test {

// A sparse image file (`fileName` in a fresh folder; the drive takes its name) with a file system
// (`type`: ext4 or btrfs) labelled `label`, attached to a loop device, for root-only tests.
// Everything is undone on destruction (unmounted, detached, deleted).
class LoopImage {
public:
    explicit LoopImage(const QString& label, int megabytes = 32, const QString& fileName = QStringLiteral("disk.img"),
                       const QString& type = QStringLiteral("ext4"));
    ~LoopImage();
    LoopImage(const LoopImage&) = delete;
    LoopImage& operator=(const LoopImage&) = delete;

    bool isReady() const { return m_error.isEmpty(); }  // else error() says what failed
    const QString& error() const { return m_error; }
    const QString& imagePath() const { return m_image; }
    const QString& device() const { return m_device; }  // "/dev/loopN"
    const QString& mountPath() const { return m_mountPath; }

    bool mount();
    bool unmount();
    bool waitForUdisks() const;  // until udisks2 has taken in the loop device; false after 10 s
    // What the kernel says now, whoever changed it.
    bool isInMountTable() const;
    bool isAttached() const;
    // The program under test ejected it: only the file is left to remove, and the loop device
    // may already serve someone else.
    void markEjected()
    {
        m_mounted = false;
        m_device.clear();
    }

private:
    bool step(const QString& program, const QStringList& arguments, QString* out = nullptr);

    QTemporaryDir m_dir;
    QString m_image, m_device, m_mountPath, m_error;
    bool m_mounted = false;
};

} // namespace mallowby::test
