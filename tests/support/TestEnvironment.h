#pragma once

#include "support/Printers.h"

#include <QCoro/QCoroTask>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include <unistd.h>

namespace mallowby::test {

// Facts about the machine the tests run on, and small helpers to run commands and wait.
class TestEnvironment {
public:
    struct Result {
        int exitCode = -1;
        QString out;
        QString err;
    };

    static QString dataPath(const QString& relative) { return QStringLiteral(MALLOWBY_TEST_DATA "/") + relative; }
    static QString mallowbyBinary() { return QStringLiteral(MALLOWBY_BINARY); }
    static QString hangfsBinary() { return QStringLiteral(MALLOWBY_HANGFS); }
    static QString mapholdBinary() { return QStringLiteral(MALLOWBY_MAPHOLD); }

    static bool isRoot() { return ::geteuid() == 0; }
    // Why a root-only end-to-end test cannot run here, or none when it can.
    static std::optional<QString> missingForLoopDevices();
    static bool udevdRuns() { return QFileInfo::exists(QStringLiteral("/run/udev/control")); }
    // udisksd owns its name on the system bus.
    static bool udisksRuns();
    // Why an end-to-end test of ejects (root, loop devices, udisks2) cannot run here, or none.
    static std::optional<QString> missingForEjects();

    // Runs a program with an argument list (no shell) and waits for it.
    static Result run(const QString& program, const QStringList& arguments,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30));

    // Spins the event loop until the condition holds or the time is up; answers the condition.
    static bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

    // Runs a task to completion on the event loop (at most `timeout`); none when it did not finish.
    template<typename T>
    static std::optional<T> await(QCoro::Task<T> task, std::chrono::milliseconds timeout = std::chrono::seconds(30))
    {
        auto result = std::make_shared<std::optional<T>>();
        [](QCoro::Task<T> task, std::shared_ptr<std::optional<T>> result) -> QCoro::Task<> {
            result->emplace(co_await std::move(task));
        }(std::move(task), result);
        waitUntil([&] { return result->has_value(); }, timeout);
        return *result;
    }
};

} // namespace mallowby::test
