#pragma once

#include "Drives/IOCounters.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace mallowby::test {

// A writable sysfs tree: copies of fixture trees under tests/data/sysfs merged into one root,
// whose counters and attributes a test rewrites in place, as the kernel does.
class SysfsTree {
public:
    explicit SysfsTree(const QStringList& fixtures = {});

    bool isReady() const { return m_error.isEmpty(); }
    const QString& error() const { return m_error; }
    QString root() const { return m_dir.path(); }

    // The device's directory, through class/block.
    QString path(const QString& name) const;
    // Rewrites the stat line with these byte counts (whole 512-byte sectors).
    void setCounters(const QString& name, IOCounters counters);
    // Writes a file below the device's directory, creating folders as needed.
    void setAttribute(const QString& name, const QString& relativePath, const QString& text);
    void removeAttribute(const QString& name, const QString& relativePath);
    // A new whole disk below devices/virtual/block (or `parentPath`, relative to the root).
    void addDisk(const QString& name, const QString& dev, const QString& parentPath = QStringLiteral("devices/virtual/block"));
    // `upper` is built on `lower`: the slaves/ and holders/ links.
    void stack(const QString& upper, const QString& lower);

private:
    QTemporaryDir m_dir;
    QString m_error;
};

} // namespace mallowby::test
