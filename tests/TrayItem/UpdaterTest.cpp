#include "Updates/Updater.h"

#include "support/ManualClock.h"
#include "support/TestEnvironment.h"

#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

// An HTTP server on the loopback interface answering every request with the body it holds.
class FeedServer : public QObject {
public:
    FeedServer()
    {
        server.listen(QHostAddress::LocalHost);
        QObject::connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    request += socket->readAll();
                    if (!request.contains("\r\n\r\n"))
                        return;
                    ++requests;
                    lastRequest = request;
                    const QByteArray reason = status == 200 ? "OK" : "Error";
                    socket->write("HTTP/1.1 " + QByteArray::number(status) + " " + reason + "\r\nContent-Type: application/json\r\n"
                                  "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
                    socket->disconnectFromHost();
                    request.clear();
                });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/feed.json").arg(server.serverPort())); }

    QTcpServer server;
    QByteArray body;
    QByteArray request;
    QByteArray lastRequest;
    int status = 200;
    int requests = 0;
};

class UpdaterTest : public ::testing::Test {
protected:
    std::unique_ptr<Updater> make(const QUrl& feed, const QString& version = QStringLiteral("0.1.0"))
    {
        auto updater = std::make_unique<Updater>(Updater::Configuration{feed, settingsPath(), version}, clock);
        updater->setMessagePresenter([this](const Updater::Message& message) { messages.append(message); });
        return updater;
    }
    QString settingsPath() const { return dir.filePath(QStringLiteral("updates.conf")); }

    // Runs one check and waits for its end.
    bool check(Updater& updater, bool user)
    {
        QSignalSpy finished(&updater, &Updater::checkFinished);
        user ? updater.checkForUpdates() : updater.checkInBackground();
        return TestEnvironment::waitUntil([&] { return finished.count() == 1; }, 10s);
    }

    QTemporaryDir dir;
    ManualClock clock;
    FeedServer feed;
    QList<Updater::Message> messages;
};

} // namespace

TEST_F(UpdaterTest, AFoundReleaseIsAvailableUntilACheckFindsNothing)
{
    ASSERT_TRUE(feed.server.isListening());
    auto updater = make(feed.url());
    QSignalSpy changed(updater.get(), &Updater::availableVersionChanged);
    EXPECT_EQ(updater->availableVersion(), std::nullopt);

    feed.body = R"({"version": "0.2.0", "url": "https://example.org/mallowby/0.2.0"})";
    ASSERT_TRUE(check(*updater, false));
    EXPECT_EQ(updater->availableVersion(), QStringLiteral("0.2.0"));
    EXPECT_EQ(updater->availableRelease()->page, QUrl("https://example.org/mallowby/0.2.0"));
    EXPECT_EQ(changed.count(), 1);
    EXPECT_TRUE(feed.lastRequest.startsWith("GET /feed.json ")) << feed.lastRequest.toStdString();
    EXPECT_TRUE(feed.lastRequest.contains("User-Agent: mallowby/0.1.0")) << feed.lastRequest.toStdString();
    EXPECT_TRUE(messages.isEmpty());  // a background check tells nobody

    // The same release again changes nothing.
    ASSERT_TRUE(check(*updater, false));
    EXPECT_EQ(changed.count(), 1);

    // The feed now names the running version: nothing newer, so the button goes away.
    feed.body = R"({"version": "0.1.0", "url": "https://example.org/mallowby/0.1.0"})";
    ASSERT_TRUE(check(*updater, false));
    EXPECT_EQ(updater->availableVersion(), std::nullopt);
    EXPECT_EQ(changed.count(), 2);
    ASSERT_TRUE(check(*updater, false));
    EXPECT_EQ(changed.count(), 2);  // already none: no change to announce
    EXPECT_EQ(feed.requests, 4);
}

TEST_F(UpdaterTest, AUsersCheckSaysWhatItFoundAndAFailureKeepsTheLastFinding)
{
    auto updater = make(feed.url());
    feed.body = R"({"tag_name": "v1.0.0", "html_url": "https://example.org/releases/v1.0.0"})";
    ASSERT_TRUE(check(*updater, true));
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0].kind, Updater::Message::Kind::updateAvailable);
    EXPECT_EQ(messages[0].text, QStringLiteral("mallowby 1.0.0 is now available—you have 0.1.0. Would you like to download it now?"));
    EXPECT_EQ(messages[0].page, QUrl("https://example.org/releases/v1.0.0"));
    EXPECT_EQ(updater->availableVersion(), QStringLiteral("1.0.0"));

    feed.status = 500;
    ASSERT_TRUE(check(*updater, true));
    ASSERT_EQ(messages.size(), 2);
    EXPECT_EQ(messages[1].kind, Updater::Message::Kind::error);
    EXPECT_EQ(updater->availableVersion(), QStringLiteral("1.0.0"));

    feed.status = 200;
    feed.body = "<html>not a feed</html>";
    ASSERT_TRUE(check(*updater, true));
    EXPECT_EQ(messages.last().kind, Updater::Message::Kind::error);
    EXPECT_EQ(updater->availableVersion(), QStringLiteral("1.0.0"));

    feed.body = R"({"version": "0.0.9"})";
    ASSERT_TRUE(check(*updater, true));
    EXPECT_EQ(messages.last().kind, Updater::Message::Kind::upToDate);
    EXPECT_EQ(messages.last().text, QStringLiteral("mallowby 0.1.0 is currently the newest version available."));
    EXPECT_EQ(updater->availableVersion(), std::nullopt);

    // Without a feed nothing is asked for and nothing is ever found.
    auto none = make(QUrl());
    QSignalSpy changed(none.get(), &Updater::availableVersionChanged);
    ASSERT_TRUE(check(*none, true));
    EXPECT_EQ(messages.last().kind, Updater::Message::Kind::upToDate);
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(feed.requests, 4);
}

TEST_F(UpdaterTest, TheAutomaticSwitchesAreKeptAndDriveTheDailyCheck)
{
    feed.body = R"({"version": "0.3.0"})";
    {
        auto updater = make(feed.url());
        EXPECT_TRUE(updater->automaticallyChecksForUpdates());
        EXPECT_FALSE(updater->automaticallyDownloadsUpdates());
        EXPECT_EQ(clock.pendingTimers(), 1u);

        // Never checked before: the first check comes shortly after launch.
        QSignalSpy finished(updater.get(), &Updater::checkFinished);
        clock.advance(Updater::firstCheckDelay);
        ASSERT_TRUE(TestEnvironment::waitUntil([&] { return finished.count() == 1; }, 10s));
        EXPECT_EQ(updater->availableVersion(), QStringLiteral("0.3.0"));
        ASSERT_TRUE(updater->lastCheck().has_value());
        EXPECT_LE(std::abs(updater->lastCheck()->secsTo(QDateTime::currentDateTimeUtc())), 5);
        // And again a day later.
        clock.advance(Updater::checkInterval);
        ASSERT_TRUE(TestEnvironment::waitUntil([&] { return finished.count() == 2; }, 10s));
        EXPECT_TRUE(messages.isEmpty());

        QSignalSpy switched(updater.get(), &Updater::automaticallyChecksForUpdatesChanged);
        updater->setAutomaticallyChecksForUpdates(false);
        updater->setAutomaticallyChecksForUpdates(false);
        updater->setAutomaticallyDownloadsUpdates(true);
        EXPECT_EQ(switched.count(), 1);
        EXPECT_EQ(clock.pendingTimers(), 0u);
        clock.advance(Updater::checkInterval * 2);
        QCoreApplication::processEvents();
        EXPECT_EQ(feed.requests, 2);
    }
    // A later run reads the switches back from the updater's own file.
    auto again = make(feed.url());
    EXPECT_FALSE(again->automaticallyChecksForUpdates());
    EXPECT_TRUE(again->automaticallyDownloadsUpdates());
    EXPECT_EQ(clock.pendingTimers(), 0u);
    again->setAutomaticallyChecksForUpdates(true);
    // Checked moments ago: the next scheduled check is a day away, not at launch.
    EXPECT_EQ(clock.pendingTimers(), 1u);
    clock.advance(Updater::checkInterval - 1h);
    QCoreApplication::processEvents();
    EXPECT_EQ(feed.requests, 2);
}

TEST(UpdaterFeed, OnlyVersionedFeedsCountAndOnlyWebPagesAreOpened)
{
    EXPECT_EQ(Updater::parseFeed(R"({"version": "2.1", "url": "https://example.org/2.1"})"),
              (Updater::Release{"2.1", QUrl("https://example.org/2.1")}));
    EXPECT_EQ(Updater::parseFeed(R"({"tag_name": "V3.0.1"})"), (Updater::Release{"3.0.1", QUrl()}));
    EXPECT_EQ(Updater::parseFeed(R"({"version": "1.0", "url": "file:///etc/passwd"})")->page, QUrl());
    EXPECT_EQ(Updater::parseFeed(R"j({"version": "1.0", "url": "javascript:alert(1)"})j")->page, QUrl());
    EXPECT_EQ(Updater::parseFeed(R"({"version": "soon"})"), std::nullopt);
    EXPECT_EQ(Updater::parseFeed(R"({"version": 2})"), std::nullopt);
    EXPECT_EQ(Updater::parseFeed(R"(["1.0"])"), std::nullopt);
    EXPECT_EQ(Updater::parseFeed(""), std::nullopt);
}
