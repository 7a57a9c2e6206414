#include "Support/FilePath.h"

#include <QSet>

#include <gtest/gtest.h>

using mallowby::FilePath;

// Every byte string comes back unchanged, and different bytes never decode to the same text.
TEST(FilePath, BytesSurviveDecodingAndStayDistinct)
{
    const struct {
        const char* name;
        QByteArray bytes;
    } rows[] = {
        {"ascii", "/media/usb"},
        {"utf-8", "/media/caf\xc3\xa9"},
        {"latin-1", "/media/caf\xe9"},
        {"latin-1 before a letter", "/\xe9t\xe9"},
        {"latin-1 after a four-byte character", "/\xf0\x9f\x98\x80\xe9"},
        {"truncated sequence", "/a\xc3"},
        {"overlong slash", "/a\xc0\xaf"},
        {"encoded surrogate", "/\xed\xa0\x80"},
        {"above U+10FFFF", "/\xf4\x90\x80\x80"},
        {"a real replacement character", "/\xef\xbf\xbd"},
    };
    QSet<QString> seen;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString text = FilePath::decode(row.bytes);
        EXPECT_EQ(FilePath::encode(text), row.bytes);
        EXPECT_FALSE(seen.contains(text));
        seen.insert(text);
    }
    EXPECT_EQ(FilePath::decode("/media/caf\xc3\xa9"), QStringLiteral("/media/café"));
    EXPECT_NE(FilePath::decode("caf\xe9"), FilePath::decode("caf\xe8"));
    EXPECT_EQ(FilePath::fromKernel("/media/My\\040caf\xe9\\134"), FilePath::decode("/media/My caf\xe9\\"));
}
