#include "CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>

namespace mallowby {

namespace {

// Options QGuiApplication and QApplication take out of the command line themselves.
const QStringList toolkitOptionsWithValue{
    QStringLiteral("platform"), QStringLiteral("platformpluginpath"), QStringLiteral("platformtheme"),
    QStringLiteral("plugin"),   QStringLiteral("display"),            QStringLiteral("session"),
    QStringLiteral("style"),    QStringLiteral("stylesheet"),         QStringLiteral("qwindowgeometry"),
    QStringLiteral("qwindowicon"), QStringLiteral("qwindowtitle")};
const QStringList toolkitFlags{QStringLiteral("reverse"), QStringLiteral("nograb"), QStringLiteral("dograb"),
                               QStringLiteral("sync"), QStringLiteral("widgetcount")};

void print(std::FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    if (!text.endsWith(QLatin1Char('\n')))
        std::fputc('\n', stream);
    std::fflush(stream);
}

} // namespace

CommandLine::Outcome CommandLine::parse(const QStringList& arguments)
{
    QCommandLineParser parser;
    // -platform is one option, not -p -l -a …
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral("Drives, free space and activity in the system tray.\n"
                       "A second launch opens the running instance's popover. Developer modes are chosen with "
                       "MALLOWBY_* environment variables; see mallowby(1)."));
    // Not addHelpOption(): its --help-all lists the toolkit's options, which are not this program's.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Displays this help."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    for (const QString& name : toolkitOptionsWithValue) {
        QCommandLineOption option(name, QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const QString& name : toolkitFlags) {
        QCommandLineOption option(name);
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

    const QString program = arguments.isEmpty() ? QStringLiteral("mallowby") : QFileInfo(arguments.first()).fileName();
    const QString hint = QStringLiteral("\nTry '%1 --help' for more information.").arg(program);
    if (!parser.parse(arguments))
        return {Action::usageError, QStringLiteral("%1: %2%3").arg(program, parser.errorText(), hint)};
    if (parser.isSet(help)) {
        // The parser's usage line names the program only once an application object exists.
        const QString text = parser.helpText();
        return {Action::help, QStringLiteral("Usage: %1 [options]").arg(program) + text.mid(text.indexOf(QLatin1Char('\n')))};
    }
    if (parser.isSet(version))
        return {Action::version, QStringLiteral("mallowby %1").arg(QCoreApplication::applicationVersion())};
    if (!parser.positionalArguments().isEmpty())
        return {Action::usageError, QStringLiteral("%1: unexpected argument '%2'.%3")
                                        .arg(program, parser.positionalArguments().first(), hint)};
    return {};
}

std::optional<int> CommandLine::handle(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const Outcome outcome = parse(arguments);
    switch (outcome.action) {
    case Action::run:
        return std::nullopt;
    case Action::help:
    case Action::version:
        print(stdout, outcome.text);
        return 0;
    case Action::usageError:
        print(stderr, outcome.text);
        return usageErrorStatus;
    }
    return std::nullopt;
}

} // namespace mallowby
