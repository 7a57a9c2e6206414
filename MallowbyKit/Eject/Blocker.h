#pragma once

#include "Eject/OwningApp.h"

#include <QList>
#include <QString>

#include <optional>

namespace mallowby {

// A process that holds the target: what it uses there, and the app it belongs to.
struct Blocker {
    enum class Reason { openFile, workingDirectory, mappedFile, rootDirectory };

    struct Use {
        Reason reason = Reason::openFile;
        QString path;

        bool operator==(const Use&) const = default;
    };

    qint32 pid = 0;
    QString processName;
    std::optional<QString> executablePath{};
    std::optional<OwningApp> app;
    bool isAppProcess = false;
    QList<Use> uses;  // never empty
    std::optional<quint64> startTime{};  // of the process as scanned, to tell a reused pid apart

    bool operator==(const Blocker&) const = default;

    // "open file", "working directory", "mapped file", "root directory".
    static QString reasonText(Reason reason);
};

} // namespace mallowby
