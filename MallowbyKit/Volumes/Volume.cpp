#include "Volumes/Volume.h"

#include <QHash>
#include <QLocale>

namespace mallowby {

QString Volume::formatName(const QString& type)
{
    static const QHash<QString, QString> names{
        {QStringLiteral("apfs"), QStringLiteral("APFS")},
        {QStringLiteral("hfs"), QStringLiteral("HFS+")},
        {QStringLiteral("hfsplus"), QStringLiteral("HFS+")},
        {QStringLiteral("exfat"), QStringLiteral("ExFAT")},
        {QStringLiteral("msdos"), QStringLiteral("FAT")},
        {QStringLiteral("vfat"), QStringLiteral("FAT")},
        {QStringLiteral("ntfs"), QStringLiteral("NTFS")},
        {QStringLiteral("ntfs3"), QStringLiteral("NTFS")},
        {QStringLiteral("smbfs"), QStringLiteral("SMB")},
        {QStringLiteral("cifs"), QStringLiteral("SMB")},
        {QStringLiteral("smb3"), QStringLiteral("SMB")},
        {QStringLiteral("nfs"), QStringLiteral("NFS")},
        {QStringLiteral("nfs4"), QStringLiteral("NFS")},
        {QStringLiteral("afpfs"), QStringLiteral("AFP")},
        {QStringLiteral("webdav"), QStringLiteral("WebDAV")},
    };
    return names.value(type, type.toUpper());
}

bool Volume::precedes(const Volume& a, const Volume& b)
{
    if (a.kind != b.kind)
        return a.kind < b.kind;
    const QLocale locale;
    return locale.toLower(a.name) < locale.toLower(b.name);
}

} // namespace mallowby
