#include "Volumes/SpaceHelper.h"
#include "Volumes/SpaceReader.h"

#include "support/TestEnvironment.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

#include <sys/statvfs.h>

using namespace mallowby;
using mallowby::test::TestEnvironment;
using namespace std::chrono_literals;

namespace {

// A read started now, answered later on the event loop.
struct PendingRead {
    std::shared_ptr<std::optional<std::optional<Space>>> answer = std::make_shared<std::optional<std::optional<Space>>>();
    QElapsedTimer clock;

    PendingRead(const SpaceReader& reader, const QString& path)
    {
        clock.start();
        [](SpaceReader reader, QString path, auto answer) -> QCoro::Task<> {
            *answer = co_await reader.read(path);
        }(reader, path, answer);
    }
    bool done() const { return answer->has_value(); }
    // Waits for the answer; none when it did not come in time.
    std::optional<Space> wait(qint64* elapsedMs = nullptr)
    {
        EXPECT_TRUE(TestEnvironment::waitUntil([&] { return done(); }, 10s));
        if (elapsedMs)
            *elapsedMs = clock.elapsed();
        return answer->value_or(std::nullopt);
    }
};

std::optional<Space> readNow(const SpaceReader& reader, const QString& path, qint64* elapsedMs = nullptr)
{
    return PendingRead(reader, path).wait(elapsedMs);
}

bool processGone(qint64 pid)
{
    return TestEnvironment::waitUntil([&] { return ::kill(pid_t(pid), 0) != 0; }, 5s);
}

// Reads through the scripted helper, whose answers follow the request path.
class ScriptedHelper : public ::testing::Test {
protected:
    void SetUp() override { SpaceHelper::setProgram(QStringLiteral(MALLOWBY_SCRIPTED_SPACE)); }
    void TearDown() override { SpaceHelper::setProgram(QStringLiteral(MALLOWBY_SPACE_HELPER)); }

    // The process id of the helper that serves the next read.
    qint64 nextHelper(const SpaceReader& reader)
    {
        const auto answer = readNow(reader, QStringLiteral("/pid"));
        return answer ? answer->total : -1;
    }
};

} // namespace

TEST(SpaceHelper, AnswersAreReadStrictly)
{
    using Answer = std::optional<std::optional<Space>>;
    EXPECT_EQ(SpaceHelper::parse("1000 400"), Answer(Space{1000, 400, 400, false}));
    EXPECT_EQ(SpaceHelper::parse("9223372036854775807 0"), Answer(Space{INT64_MAX, 0, 0, false}));
    // A failed read is an answer too.
    EXPECT_EQ(SpaceHelper::parse("error 2"), Answer(std::optional<Space>()));
    for (const char* garbage : {"", "1000", "1000 400 5", "-1 5", "+1 5", " 1 5", "1 5 ", "1  5", "1 5\r",
                                "9223372036854775808 1", "1e3 4", "0x10 4", "error", "error x", "error -1", "banana"})
        EXPECT_EQ(SpaceHelper::parse(garbage), std::nullopt) << garbage;
}

TEST_F(ScriptedHelper, EachAnswerDecidesTheHelpersFate)
{
    // An answer in time or a failed read keeps the helper; a late answer is dropped and its helper
    // killed (the path is free once it is gone); garbage or a helper that dies fails the read at
    // once. A new helper serves the next read.
    const struct {
        const char* path;
        std::chrono::milliseconds limit;
        std::optional<Space> want;
        bool kept;
        qint64 minMs, maxMs;
    } rows[] = {
        {"/answer/1000/400", 2s, Space{1000, 400, 400, false}, true, 0, 1000},
        {"/no such volume", 2s, std::nullopt, true, 0, 1000},
        {"/late/1500/7/7", 300ms, std::nullopt, false, 290, 1000},
        {"/garbage", 5s, std::nullopt, false, 0, 1000},
        {"/die", 5s, std::nullopt, false, 0, 1000},
    };
    for (const auto& row : rows) {
        const SpaceReader reader{row.limit};
        const qint64 helper = nextHelper(reader);
        ASSERT_GT(helper, 0) << row.path;
        qint64 elapsed = 0;
        EXPECT_EQ(readNow(reader, QString::fromLatin1(row.path), &elapsed), row.want) << row.path;
        EXPECT_GE(elapsed, row.minMs) << row.path;
        EXPECT_LT(elapsed, row.maxMs) << row.path;
        if (!row.kept)
            EXPECT_TRUE(processGone(helper)) << row.path;
        EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !SpaceReader::isInFlight(QString::fromLatin1(row.path)); }, 2s));
        EXPECT_EQ(nextHelper(reader) == helper, row.kept) << row.path;
    }

    // Killed by someone else in the middle of a read.
    const SpaceReader reader{5s};
    const qint64 helper = nextHelper(reader);
    PendingRead hanging(reader, QStringLiteral("/hang"));
    TestEnvironment::waitUntil([] { return false; }, 100ms);
    ASSERT_FALSE(hanging.done());
    ::kill(pid_t(helper), SIGKILL);
    qint64 elapsed = 0;
    EXPECT_EQ(hanging.wait(&elapsed), std::nullopt);
    EXPECT_LT(elapsed, 1000);
    EXPECT_FALSE(SpaceReader::isInFlight(QStringLiteral("/hang")));
    EXPECT_NE(nextHelper(reader), helper);
}

TEST_F(ScriptedHelper, OnePathHasOneReadAtATimeWhileOtherPathsGoOn)
{
    const SpaceReader reader{2s};
    const QString slow = QStringLiteral("/late/600/1/1");
    PendingRead first(reader, slow);
    qint64 elapsed = 0;
    // The same path answers absent at once, without a second helper spent on it.
    EXPECT_EQ(readNow(reader, slow, &elapsed), std::nullopt);
    EXPECT_LT(elapsed, 100);
    EXPECT_EQ(readNow(reader, QStringLiteral("/answer/5/3"), &elapsed), (Space{5, 3, 3, false}));
    EXPECT_LT(elapsed, 300);
    EXPECT_FALSE(first.done());
    EXPECT_EQ(first.wait(), (Space{1, 1, 1, false}));
    EXPECT_EQ(readNow(reader, slow), (Space{1, 1, 1, false}));
}

TEST(SpaceReader, NoHelperToStartIsAFailedRead)
{
    SpaceHelper::setProgram(QStringLiteral("/nonexistent/mallowby-space"));
    qint64 elapsed = 0;
    EXPECT_EQ(readNow(SpaceReader{2s}, QStringLiteral("/"), &elapsed), std::nullopt);
    EXPECT_LT(elapsed, 500);
    EXPECT_FALSE(SpaceReader::isInFlight(QStringLiteral("/")));
    // An injected read runs in this process, helper or not.
    const Space figures{1000, 400, 400, false};
    EXPECT_EQ(readNow(SpaceReader{2s, [&](const QString&) { return std::optional(figures); }}, QStringLiteral("/injected")), figures);
    SpaceHelper::setProgram(QStringLiteral(MALLOWBY_SPACE_HELPER));
}

TEST(SpaceReader, TheHelperReadsTheFiguresOfAnyPath)
{
    QTemporaryDir dir;
    const SpaceReader reader{2s};
    struct statvfs info {};
    ASSERT_EQ(::statvfs(QFile::encodeName(dir.path()).constData(), &info), 0);
    const auto space = readNow(reader, dir.path());
    ASSERT_TRUE(space.has_value());
    EXPECT_EQ(space->total, qint64(info.f_blocks) * qint64(info.f_frsize));
    // What unprivileged users may still write, as statvfs says (other writers may move it a little).
    EXPECT_NEAR(double(space->available), double(qint64(info.f_bavail) * qint64(info.f_frsize)), 64.0 * 1024 * 1024);
    EXPECT_LE(space->available, space->total);
    EXPECT_FALSE(space->isStale);

    // Names with spaces, line breaks and non-ASCII letters pass the protocol intact.
    const QString odd = dir.filePath(QStringLiteral("a b\nc\tdé"));
    ASSERT_TRUE(QDir().mkpath(odd));
    EXPECT_EQ(readNow(reader, odd).value_or(Space{}).total, space->total);

    // Paths that cannot be read fail alone; the next read is served.
    EXPECT_EQ(readNow(reader, dir.filePath(QStringLiteral("missing"))), std::nullopt);
    EXPECT_EQ(readNow(reader, QString(5000, QLatin1Char('x')).prepend(QLatin1Char('/'))), std::nullopt);
    qint64 elapsed = 0;
    EXPECT_EQ(readNow(reader, dir.path() + QChar(0) + QStringLiteral("x"), &elapsed), std::nullopt);
    EXPECT_LT(elapsed, 100);
    EXPECT_EQ(readNow(reader, QString()), std::nullopt);
    EXPECT_EQ(readNow(reader, dir.path()).value_or(Space{}).total, space->total);
}
