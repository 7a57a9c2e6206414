#pragma once

#include "support/Printers.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>

namespace mallowby::test {

// Facts about the machine the tests run on, and small helpers to run commands and wait.
class TestEnvironment {
public:
    struct Result {
        int exitCode = -1;
        QString out;
        QString err;
    };

    static QString dataPath(const QString& relative);
    static QString mallowbyBinary();
    static QString hangfsBinary();

    static bool isRoot();
    // Why a root-only end-to-end test cannot run here, or none when it can.
    static std::optional<QString> missingForLoopDevices();
    static bool udevdRuns();

    // Runs a program with an argument list (no shell) and waits for it.
    static Result run(const QString& program, const QStringList& arguments,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30));

    // Spins the event loop until the condition holds or the time is up; answers the condition.
    static bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
};

} // namespace mallowby::test
