#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

namespace mallowby {

// File paths are bytes on Linux, and a mount point named after a Latin-1 label is not UTF-8.
// decode() reads UTF-8 where it is valid and turns each byte of an invalid sequence into a lone
// surrogate (U+DC80 + byte); encode() gives the same bytes back. Every path read from the kernel
// goes through decode(), every path given to a system call through encode().
class FilePath {
public:
    static QString decode(QByteArrayView bytes);
    static QByteArray encode(QStringView path);
    // A path as procfs writes it (mountinfo, mountstats, swaps, exports): the octal escapes of
    // space, tab, line break and backslash ("\040") undone, then decoded.
    static QString fromKernel(QByteArrayView escaped);
};

} // namespace mallowby
