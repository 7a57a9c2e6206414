#include "CommandLine.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

using namespace mallowby;
using Action = CommandLine::Action;

namespace {

CommandLine::Outcome parse(QStringList arguments)
{
    arguments.prepend(QStringLiteral("/usr/bin/mallowby"));
    return CommandLine::parse(arguments);
}

} // namespace

TEST(CommandLine, HelpAndVersionInTheirShortAndLongForms)
{
    QCoreApplication::setApplicationVersion(QStringLiteral("1.2.3"));
    for (const char* option : {"--help", "-h"}) {
        const auto outcome = parse({QString::fromLatin1(option)});
        EXPECT_EQ(outcome.action, Action::help) << option;
        EXPECT_TRUE(outcome.text.startsWith(QStringLiteral("Usage: mallowby [options]\n"))) << outcome.text.toStdString();
        EXPECT_TRUE(outcome.text.contains(QStringLiteral("--version"))) << option;
        EXPECT_FALSE(outcome.text.contains(QStringLiteral("--help-all"))) << "no help of the toolkit's options";
        EXPECT_TRUE(outcome.text.contains(QStringLiteral("mallowby(1)")));
    }
    for (const char* option : {"--version", "-v"})
        EXPECT_EQ(parse({QString::fromLatin1(option)}), (CommandLine::Outcome{Action::version, QStringLiteral("mallowby 1.2.3")}));
    // An unknown option is an error whatever else is given.
    EXPECT_EQ(parse({QStringLiteral("--help"), QStringLiteral("--nope")}).action, Action::usageError);
}

TEST(CommandLine, NoArgumentsAndTheToolkitsOwnOptionsRun)
{
    EXPECT_EQ(parse({}).action, Action::run);
    EXPECT_EQ(parse({QStringLiteral("-platform"), QStringLiteral("offscreen")}).action, Action::run);
    // A session manager restarts programs with -session; the display can be named too.
    EXPECT_EQ(parse({QStringLiteral("-session"), QStringLiteral("10a1b2"), QStringLiteral("-display"), QStringLiteral(":1")}).action,
              Action::run);
    EXPECT_EQ(parse({QStringLiteral("--style=Fusion"), QStringLiteral("-reverse")}).action, Action::run);
}

TEST(CommandLine, UnknownOptionsAndArgumentsAreUsageErrorsNamingTheCulprit)
{
    const auto unknown = parse({QStringLiteral("--bogus")});
    EXPECT_EQ(unknown.action, Action::usageError);
    EXPECT_TRUE(unknown.text.startsWith(QStringLiteral("mallowby: "))) << unknown.text.toStdString();
    EXPECT_TRUE(unknown.text.contains(QStringLiteral("'bogus'"))) << unknown.text.toStdString();
    EXPECT_TRUE(unknown.text.contains(QStringLiteral("mallowby --help")));

    // -bogus is one unknown word, not the letters b, o, g …
    EXPECT_TRUE(parse({QStringLiteral("-bogus")}).text.contains(QStringLiteral("'bogus'")));
    // A toolkit option without its value.
    EXPECT_EQ(parse({QStringLiteral("-platform")}).action, Action::usageError);

    const auto stray = parse({QStringLiteral("/media/usb")});
    EXPECT_EQ(stray.action, Action::usageError);
    EXPECT_TRUE(stray.text.contains(QStringLiteral("'/media/usb'"))) << stray.text.toStdString();
}
