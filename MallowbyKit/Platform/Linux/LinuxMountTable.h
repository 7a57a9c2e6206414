#pragma once

#include "Platform/MountTable.h"

namespace mallowby {

// The mount table from a mountinfo file, parsed by libmount. Paths come unescaped ("\040" is a
// space). Reading procfs never waits on a file system. Malformed lines are skipped.
class LinuxMountTable final : public MountTable {
public:
    explicit LinuxMountTable(QString mountinfoPath = QStringLiteral("/proc/self/mountinfo"));

    QList<VolumeStore::Mount> read() const override;

    // FUSE and other types libmount does not know as network file systems, though they are.
    static bool isNetworkType(const QString& type);
    // System mounts a file browser does not show.
    static bool isHiddenPath(const QString& path);

private:
    QString m_path;
};

} // namespace mallowby
