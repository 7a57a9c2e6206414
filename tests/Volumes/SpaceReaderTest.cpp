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
    PendingRead(const SpaceReader& reader, const QString& path)
    {
        clock.start();
        [](SpaceReader reader, QString path, auto answer) -> QCoro::Task<> { *answer = co_await reader.read(path); }(reader, path, answer);
    }
    bool done() const { return answer->has_value(); }
    // The answer (none when it did not come within 10 s) and the milliseconds it took.
    std::pair<std::optional<Space>, qint64> wait()
    {
        EXPECT_TRUE(TestEnvironment::waitUntil([&] { return done(); }, 10s));
        return {answer->value_or(std::nullopt), clock.elapsed()};
    }
    std::shared_ptr<std::optional<std::optional<Space>>> answer = std::make_shared<std::optional<std::optional<Space>>>();
    QElapsedTimer clock;
};

std::optional<Space> readNow(const SpaceReader& reader, const QString& path)
{
    return PendingRead(reader, path).wait().first;
}

// Reads through the scripted helper, whose answers follow the request path ("/pid" answers its process id).
class ScriptedHelper : public ::testing::Test {
protected:
    void SetUp() override { SpaceHelper::setProgram(QStringLiteral(MALLOWBY_SCRIPTED_SPACE)); }
    void TearDown() override { SpaceHelper::setProgram(QStringLiteral(MALLOWBY_SPACE_HELPER)); }
    qint64 nextHelper(const SpaceReader& reader) { return readNow(reader, "/pid").value_or(Space{.total = -1}).total; }
};

} // namespace

TEST(SpaceHelper, AnswersAreReadStrictly)
{
    using Answer = std::optional<std::optional<Space>>;
    EXPECT_EQ(SpaceHelper::parse("1000 400"), Answer(Space{1000, 400, 400, false}));
    EXPECT_EQ(SpaceHelper::parse("9223372036854775807 0"), Answer(Space{INT64_MAX, 0, 0, false}));
    EXPECT_EQ(SpaceHelper::parse("error 2"), Answer(std::optional<Space>()));  // a failed read is an answer too
    for (const char* garbage : {"", "1000", "1000 400 5", "-1 5", "+1 5", " 1 5", "1 5 ", "1  5", "1 5\r",
                                "9223372036854775808 1", "1e3 4", "0x10 4", "error", "error x", "error -1", "banana"})
        EXPECT_EQ(SpaceHelper::parse(garbage), std::nullopt) << garbage;
}

TEST_F(ScriptedHelper, EachAnswerDecidesTheHelpersFate)
{
    // An answer in time or a failed read keeps the helper; a late answer is dropped and its helper
    // killed; garbage, a helper that dies or one killed by someone else fails the read at once.
    const struct {
        const char* path;
        std::chrono::milliseconds limit;
        std::optional<Space> want;
        bool kept, killed;
        qint64 minMs;
    } rows[] = {
        {"/answer/1000/400", 2s, Space{1000, 400, 400, false}, true, false, 0},
        {"/no such volume", 2s, std::nullopt, true, false, 0},
        {"/late/1500/7/7", 300ms, std::nullopt, false, false, 290},
        {"/garbage", 5s, std::nullopt, false, false, 0},
        {"/die", 5s, std::nullopt, false, false, 0},
        {"/hang", 5s, std::nullopt, false, true, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        const SpaceReader reader{row.limit};
        const qint64 helper = nextHelper(reader);
        ASSERT_GT(helper, 0);
        PendingRead read(reader, row.path);
        if (row.killed)
            ::kill(pid_t(helper), SIGKILL);
        const auto [got, elapsed] = read.wait();
        EXPECT_EQ(got, row.want);
        EXPECT_GE(elapsed, row.minMs);
        EXPECT_LT(elapsed, 1000);
        if (!row.kept) {
            EXPECT_TRUE(TestEnvironment::waitUntil([&] { return ::kill(pid_t(helper), 0) != 0; }, 5s));
        }
        // The path is free once its helper is gone; a new helper serves the next read.
        EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !SpaceReader::isInFlight(row.path); }, 2s));
        EXPECT_EQ(nextHelper(reader) == helper, row.kept);
    }
}

TEST(SpaceReader, NoHelperToStartIsAFailedReadButAnInjectedReadRuns)
{
    SpaceHelper::setProgram(QStringLiteral("/nonexistent/mallowby-space"));
    const auto [got, elapsed] = PendingRead(SpaceReader{2s}, "/").wait();
    EXPECT_EQ(got, std::nullopt);
    EXPECT_LT(elapsed, 500);
    EXPECT_FALSE(SpaceReader::isInFlight(QStringLiteral("/")));
    const Space figures{1000, 400, 400, false};
    EXPECT_EQ(readNow(SpaceReader{2s, [&](const QString&) { return std::optional(figures); }}, "/injected"), figures);
    SpaceHelper::setProgram(QStringLiteral(MALLOWBY_SPACE_HELPER));
}

TEST(SpaceReader, TheHelperReadsTheFiguresOfAnyPathAndFailsTheUnreadableAlone)
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
    // Names with spaces, line breaks and non-ASCII letters pass the protocol intact; paths that
    // cannot be read fail alone, at once, and the next read is served.
    const QString odd = dir.filePath("a b\nc\tdé");
    ASSERT_TRUE(QDir().mkpath(odd));
    for (const auto& [path, readable] : QList<std::pair<QString, bool>>{{odd, true}, {dir.filePath("missing"), false},
                                                                       {"/" + QString(5000, 'x'), false},
                                                                       {dir.path() + QChar(0) + "x", false}, {"", false},
                                                                       {dir.path(), true}}) {
        const auto [got, elapsed] = PendingRead(reader, path).wait();
        EXPECT_EQ(got.has_value(), readable) << path.toStdString();
        EXPECT_EQ(got.value_or(Space{}).total, readable ? space->total : 0) << path.toStdString();
        EXPECT_LT(elapsed, 1000) << path.toStdString();
    }
}
