#include "support/AppProcess.h"
#include "support/LoopImage.h"
#include "support/TestEnvironment.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace mallowby::test;

namespace {

class InspectEjectMode : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const auto missing = TestEnvironment::missingForEjects())
            GTEST_SKIP() << missing->toStdString();
        image = std::make_unique<LoopImage>(QStringLiteral("ModeTest"));
        ASSERT_TRUE(image->isReady()) << image->error().toStdString();
        ASSERT_TRUE(image->mount()) << image->error().toStdString();
        ASSERT_TRUE(image->waitForUdisks());
    }

    std::unique_ptr<LoopImage> image;
};

const auto startsWith = [](const char* prefix) {
    return [prefix](const QString& line) { return line.startsWith(QLatin1String(prefix)); };
};

} // namespace

TEST_F(InspectEjectMode, ABusyDriveIsReportedAndEjectedOnceItsHolderEnds)
{
    QProcess holder;
    holder.setWorkingDirectory(image->mountPath());
    holder.start(QStringLiteral("/bin/sleep"), {QStringLiteral("300")});
    ASSERT_TRUE(holder.waitForStarted());

    AppProcess app({{"MALLOWBY_EJECT", image->mountPath()}});
    const QString holderLine = app.waitForLine(startsWith(QString::number(holder.processId()).append(' ').toLatin1()),
                                               std::chrono::seconds(15));
    const QStringList lines = app.lines();
    ASSERT_FALSE(holderLine.isEmpty()) << lines.join('\n').toStdString();
    EXPECT_EQ(lines.filter(QRegularExpression("^ejected: ")), QStringList{"ejected: false busy"});
    EXPECT_EQ(lines.filter(QRegularExpression("^scan: \\d+ processes, [0-9.e-]+ seconds$")).size(), 1);
    EXPECT_EQ(holderLine, QStringLiteral("%1 sleep - false [\"working directory %2\"]").arg(holder.processId()).arg(image->mountPath()));
    EXPECT_TRUE(image->isInMountTable());

    // The holder ends; the app ejects the drive by itself.
    holder.kill();
    holder.waitForFinished();
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !image->isInMountTable() && !image->isAttached(); }, std::chrono::seconds(10)));
    EXPECT_EQ(app.process().state(), QProcess::Running);
}

TEST_F(InspectEjectMode, InspectingAnIdleDrivePrintsTheRealProcessCountAndNoBlockers)
{
    AppProcess app({{"MALLOWBY_INSPECT", image->mountPath()}});
    const QString scan = app.waitForLine(startsWith("scan:"), std::chrono::seconds(15));
    ASSERT_FALSE(scan.isEmpty()) << app.lines().join('\n').toStdString();
    const auto match = QRegularExpression("^scan: (\\d+) processes, ([0-9.e-]+) seconds$").match(scan);
    ASSERT_TRUE(match.hasMatch()) << scan.toStdString();
    EXPECT_GT(match.captured(1).toInt(), 1);
    EXPECT_GT(match.captured(2).toDouble(), 0.0);
    TestEnvironment::waitUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(app.lines(), QStringList{scan});
    EXPECT_TRUE(image->isInMountTable());
}

TEST_F(InspectEjectMode, AnIdleDriveEjects)
{
    AppProcess app({{"MALLOWBY_EJECT", image->mountPath()}});
    ASSERT_FALSE(app.waitForLine(startsWith("scan:"), std::chrono::seconds(15)).isEmpty()) << app.lines().join('\n').toStdString();
    EXPECT_EQ(app.lines(), (QStringList{"ejected: true -", "scan: 0 processes, 0.0 seconds"}));
    EXPECT_FALSE(image->isInMountTable());
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !image->isAttached(); }, std::chrono::seconds(5)));
}
