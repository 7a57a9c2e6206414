#include "Support/FilePath.h"

#include <algorithm>

namespace mallowby {

namespace {

constexpr char16_t escapeBase = 0xDC00;

// The length of the valid UTF-8 sequence at `at`, and its code point; 0 when it is not one
// (truncated, overlong, a surrogate, above U+10FFFF).
int sequence(QByteArrayView bytes, qsizetype at, char32_t& point)
{
    const auto byte = [&](qsizetype i) { return quint8(bytes[i]); };
    const quint8 lead = byte(at);
    int length = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        point = lead;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0)
        length = 2, point = lead & 0x1F, minimum = 0x80;
    else if ((lead & 0xF0) == 0xE0)
        length = 3, point = lead & 0x0F, minimum = 0x800;
    else if ((lead & 0xF8) == 0xF0)
        length = 4, point = lead & 0x07, minimum = 0x10000;
    else
        return 0;
    if (at + length > bytes.size())
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        point = (point << 6) | (byte(at + i) & 0x3F);
    }
    if (point < minimum || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

QString FilePath::decode(QByteArrayView bytes)
{
    QString path = QString::fromUtf8(bytes);
    if (!path.contains(QChar::ReplacementCharacter) || path.toUtf8() == bytes)
        return path;
    path.clear();
    path.reserve(bytes.size());
    for (qsizetype at = 0; at < bytes.size();) {
        char32_t point = 0;
        if (const int length = sequence(bytes, at, point)) {
            path.append(QString::fromUcs4(&point, 1));
            at += length;
        } else {
            path.append(QChar(char16_t(escapeBase + quint8(bytes[at]))));
            ++at;
        }
    }
    return path;
}

QByteArray FilePath::encode(QStringView path)
{
    const auto escaped = [](QChar c) { return c.unicode() >= escapeBase + 0x80 && c.unicode() <= escapeBase + 0xFF; };
    if (std::none_of(path.begin(), path.end(), escaped))
        return path.toUtf8();
    QByteArray bytes;
    bytes.reserve(path.size());
    qsizetype from = 0;
    for (qsizetype i = 0; i < path.size(); ++i) {
        // A low surrogate after a high one is half of a real character, not an escaped byte.
        if (!escaped(path[i]) || (i > 0 && path[i - 1].isHighSurrogate()))
            continue;
        bytes += path.mid(from, i - from).toUtf8();
        bytes += char(path[i].unicode() - escapeBase);
        from = i + 1;
    }
    bytes += path.mid(from).toUtf8();
    return bytes;
}

QString FilePath::fromKernel(QByteArrayView escaped)
{
    if (!escaped.contains('\\'))
        return decode(escaped);
    const auto octal = [](char c) { return c >= '0' && c <= '7'; };
    QByteArray out;
    out.reserve(escaped.size());
    for (qsizetype i = 0; i < escaped.size(); ++i) {
        if (escaped[i] == '\\' && i + 3 < escaped.size() && octal(escaped[i + 1]) && octal(escaped[i + 2]) && octal(escaped[i + 3])) {
            out.append(char((escaped[i + 1] - '0') * 64 + (escaped[i + 2] - '0') * 8 + (escaped[i + 3] - '0')));
            i += 3;
        } else {
            out.append(escaped[i]);
        }
    }
    return decode(out);
}

} // namespace mallowby
