#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace mallowby {

// The program's command line: --help, --version, and the toolkit's own options (-platform,
// -display, -session …), which the application object takes later. Nothing else is accepted.
class CommandLine {
public:
    enum class Action { run, help, version, usageError };

    struct Outcome {
        Action action = Action::run;
        // What to print: the help or version text, or the error message.
        QString text;
        bool operator==(const Outcome&) const = default;
    };

    // Exit status of a command line the program does not accept.
    static constexpr int usageErrorStatus = 2;

    // `arguments` starts with the program name.
    static Outcome parse(const QStringList& arguments);

    // Before any application object exists: answers help, version and errors itself and gives the
    // exit status; none when the program should run.
    static std::optional<int> handle(int argc, char* argv[]);
};

} // namespace mallowby
