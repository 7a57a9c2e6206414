#include "Platform/Linux/LinuxMountTable.h"

#include "Support/FilePath.h"

#include <QFile>
#include <QSet>

#include <libmount.h>

#include <algorithm>
#include <memory>

namespace mallowby {

namespace {

QString text(const char* value)
{
    return value ? FilePath::decode(value) : QString();
}

int skipBrokenLine(libmnt_table*, const char*, int)
{
    return 1;  // skip the line, keep parsing
}

} // namespace

LinuxMountTable::LinuxMountTable(QString mountinfoPath) : m_path(std::move(mountinfoPath)) {}

bool LinuxMountTable::isNetworkType(const QString& type)
{
    static const QSet<QString> types{
        QStringLiteral("fuse.sshfs"),     QStringLiteral("fuse.rclone"),    QStringLiteral("fuse.s3fs"),
        QStringLiteral("fuse.gcsfuse"),   QStringLiteral("fuse.curlftpfs"), QStringLiteral("fuse.davfs"),
        QStringLiteral("davfs"),          QStringLiteral("fuse.glusterfs"), QStringLiteral("fuse.smbnetfs"),
        QStringLiteral("fuse.goofys"),    QStringLiteral("fuse.blobfuse"),  QStringLiteral("fuse.juicefs"),
        QStringLiteral("fuse.cephfs"),    QStringLiteral("fuse.seaweedfs"),
    };
    return types.contains(type);
}

bool LinuxMountTable::isHiddenPath(const QString& path)
{
    if (path == QLatin1String("/"))
        return false;
    static const QStringList systemTrees{
        QStringLiteral("/proc"), QStringLiteral("/sys"), QStringLiteral("/dev"),
        QStringLiteral("/run"),  QStringLiteral("/snap"), QStringLiteral("/boot"),
    };
    const auto under = [&](const QString& tree) {
        return path == tree || path.startsWith(tree + QLatin1Char('/'));
    };
    if (under(QStringLiteral("/run/media")))
        return false;
    return std::any_of(systemTrees.cbegin(), systemTrees.cend(), under);
}

QList<VolumeStore::Mount> LinuxMountTable::read() const
{
    QList<VolumeStore::Mount> mounts;
    std::unique_ptr<libmnt_table, decltype(&mnt_unref_table)> table(mnt_new_table(), &mnt_unref_table);
    if (!table)
        return mounts;
    mnt_table_set_parser_errcb(table.get(), &skipBrokenLine);
    if (mnt_table_parse_file(table.get(), QFile::encodeName(m_path).constData()) != 0)
        return mounts;

    std::unique_ptr<libmnt_iter, decltype(&mnt_free_iter)> iter(mnt_new_iter(MNT_ITER_FORWARD), &mnt_free_iter);
    libmnt_fs* fs = nullptr;
    while (iter && mnt_table_next_fs(table.get(), iter.get(), &fs) == 0) {
        // libmount guesses the format from the first line; only mountinfo lines count.
        if (!mnt_fs_is_kernel(fs))
            continue;
        VolumeStore::Mount mount;
        mount.path = text(mnt_fs_get_target(fs));
        if (mount.path.isEmpty())
            continue;
        mount.source = text(mnt_fs_get_source(fs));
        mount.type = text(mnt_fs_get_fstype(fs));
        mount.isLocal = !mnt_fs_is_netfs(fs) && !isNetworkType(mount.type);
        mount.device = quint64(mnt_fs_get_devno(fs));
        if (const QString root = text(mnt_fs_get_root(fs)); !root.isEmpty())
            mount.root = root;
        const char* options = mnt_fs_get_options(fs);
        const bool gvfsHide = options && mnt_optstr_get_option(options, "x-gvfs-hide", nullptr, nullptr) == 0;
        mount.isHidden = mount.path != QLatin1String("/")
                         && (mnt_fs_is_pseudofs(fs) || mnt_fs_is_swaparea(fs) || gvfsHide || isHiddenPath(mount.path));
        mounts.append(mount);
    }
    return mounts;
}

} // namespace mallowby
