#pragma once

#include "Eject/ScanTarget.h"
#include "Platform/Linux/LinuxMountTable.h"
#include "Platform/Linux/ProcfsProcessTable.h"
#include "Volumes/VolumeStore.h"

#include "support/AppProcess.h"
#include "support/HungMount.h"
#include "support/LoopImage.h"
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

#include <unistd.h>

namespace mallowby::test {

using namespace std::chrono_literals;

// The world every end-to-end test shares: root, loop devices and udisks2; a fresh ext4 image of
// `megabytes` (0: none) on a loop device, mounted and known to udisks2; holders of it; steps
// undone at the end; the app as a user runs it (AppProcess).
class E2E : public ::testing::Test {
protected:
    explicit E2E(int megabytes = 160) : megabytes(megabytes) {}

    void SetUp() override
    {
        if (const auto missing = TestEnvironment::missingForEjects())
            GTEST_SKIP() << missing->toStdString();
        if (megabytes == 0)
            return;
        image = std::make_unique<LoopImage>(label, megabytes);
        ASSERT_TRUE(image->isReady() && image->mount() && image->waitForUdisks()) << image->error().toStdString();
    }
    void TearDown() override { release(); }

    // Ends every holder and undoes every step, latest first.
    void release()
    {
        for (auto& holder : std::exchange(holders, {})) {
            holder->kill();
            holder->waitForFinished(5000);
        }
        for (; !undo.empty(); undo.pop_back())
            undo.back()();
    }

    // Starts a program in `directory` and waits until it runs as `command` (past a wrapper that execs it).
    QProcess& hold(const QString& program, const QStringList& arguments, const QString& directory, const QString& command = "sleep",
                   const QString& input = "/dev/null", const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
    {
        auto& process = *holders.emplace_back(std::make_unique<QProcess>());
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(directory);
        process.setStandardInputFile(input);
        process.start(program, arguments);
        EXPECT_TRUE(process.waitForStarted(5000)) << program.toStdString();
        const auto pid = qint32(process.processId());
        EXPECT_TRUE(TestEnvironment::waitUntil([&] { return ProcfsProcessTable().commandName(pid) == command; }, 5s));
        return process;
    }

    // Runs a command now and its undoing at the end; an error text when it failed.
    QString step(const QStringList& command, const QStringList& undoing = {})
    {
        const auto result = TestEnvironment::run(command.first(), command.mid(1));
        if (result.exitCode != 0)
            return command.join(' ') + ": " + result.err;
        if (!undoing.isEmpty())
            undo.push_back([undoing] { TestEnvironment::run(undoing.first(), undoing.mid(1)); });
        return {};
    }

    // Waits for the app to end by itself with status 0.
    static bool endsWell(AppProcess& app, std::chrono::milliseconds timeout = 15s)
    {
        const bool ended = TestEnvironment::waitUntil([&] { return app.process().state() == QProcess::NotRunning; }, timeout);
        EXPECT_TRUE(ended && app.process().exitStatus() == QProcess::NormalExit && app.process().exitCode() == 0)
            << app.process().readAllStandardError().toStdString();
        return ended;
    }

    // A dump's lines as tab-separated fields, header first; a volume dump's row for a mount path.
    static QList<QStringList> table(const QStringList& lines)
    {
        QList<QStringList> rows;
        for (const QString& line : lines)
            rows << line.split('\t');
        return rows;
    }
    static const QStringList* rowAt(const QList<QStringList>& rows, const QString& path)
    {
        const auto row = std::find_if(rows.cbegin(), rows.cend(), [&](const QStringList& r) { return r.size() == 9 && r[8] == path; });
        return row == rows.cend() ? nullptr : &*row;
    }

    const QString label = QStringLiteral("E2E%1").arg(QCoreApplication::applicationPid());
    const int megabytes;
    std::unique_ptr<LoopImage> image;
    std::vector<std::unique_ptr<QProcess>> holders;
    std::vector<std::function<void()>> undo;
};

// The same world without the image.
class E2EBare : public E2E {
protected:
    E2EBare() : E2E(0) {}
};

// ... where FUSE shares (HungMount) can be mounted.
class HungShare : public E2EBare {
protected:
    void SetUp() override
    {
        E2E::SetUp();
        if (const auto missing = HungMount::missing(); missing && !IsSkipped())
            GTEST_SKIP() << missing->toStdString();
    }
};

// Every mount of the file system mounted at `path`, as the ejector gathers a drive's mounts.
inline std::optional<ScanTarget> targetAt(const QString& path)
{
    const auto mounts = VolumeStore::Mount::current(LinuxMountTable(), true);
    const auto at = std::find_if(mounts.cbegin(), mounts.cend(), [&](const auto& m) { return m.path == path; });
    if (at == mounts.cend())
        return std::nullopt;
    ScanTarget target;
    for (const auto& mount : mounts)
        if (mount.device == at->device) {
            target.devices.insert(mount.device);
            target.mountPaths.append(mount.path);
            if (const auto name = mount.bsdName())
                target.sources.append(*name);
        }
    return target;
}

} // namespace mallowby::test
