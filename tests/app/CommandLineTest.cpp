#include "CommandLine.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

using namespace mallowby;
using Action = CommandLine::Action;

TEST(CommandLine, ActionsAndTheirTexts)
{
    QCoreApplication::setApplicationVersion(QStringLiteral("1.2.3"));
    struct Row {
        QStringList arguments;
        Action action;
        QStringList texts;  // each found in the outcome's text; the first is its start
    };
    const QStringList usage{"Usage: mallowby [options]\n", "--version", "mallowby(1)"};
    const std::vector<Row> rows{
        {{"--help"}, Action::help, usage},
        {{"-h"}, Action::help, usage},
        {{"--version"}, Action::version, {"mallowby 1.2.3"}},
        {{"-v"}, Action::version, {"mallowby 1.2.3"}},
        {{}, Action::run, {}},
        // The toolkit's own options; a session manager restarts programs with -session.
        {{"-platform", "offscreen"}, Action::run, {}},
        {{"-session", "10a1b2", "-display", ":1"}, Action::run, {}},
        {{"--style=Fusion", "-reverse"}, Action::run, {}},
        {{"--help", "--nope"}, Action::usageError, {"mallowby: ", "'nope'"}},
        {{"--bogus"}, Action::usageError, {"mallowby: ", "'bogus'", "mallowby --help"}},
        {{"-bogus"}, Action::usageError, {"mallowby: ", "'bogus'"}},  // one word, not the letters b, o, g …
        {{"-platform"}, Action::usageError, {"mallowby: "}},         // without its value
        {{"/media/usb"}, Action::usageError, {"mallowby: ", "'/media/usb'"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.arguments.join(' ').toStdString());
        const auto outcome = CommandLine::parse(QStringList{"/usr/bin/mallowby"} + row.arguments);
        EXPECT_EQ(outcome.action, row.action);
        for (const QString& text : row.texts)
            EXPECT_TRUE(text == row.texts.first() ? outcome.text.startsWith(text) : outcome.text.contains(text)) << outcome.text.toStdString();
        EXPECT_FALSE(outcome.text.contains(QStringLiteral("--help-all"))) << "no help of the toolkit's options";
    }
    EXPECT_EQ(CommandLine::parse({"mallowby", "-v"}).text, "mallowby 1.2.3");
}
