#include "Updates/Updater.h"

#include "support/ManualClock.h"
#include "support/TestEnvironment.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

// An HTTP server on the loopback interface answering every request with the status and body it holds.
class FeedServer : public QTcpServer {
public:
    FeedServer()
    {
        listen(QHostAddress::LocalHost);
        QObject::connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    if (!(request += socket->readAll()).contains("\r\n\r\n"))
                        return;
                    ++requests;
                    lastRequest = std::exchange(request, {});
                    socket->write("HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Type: application/json\r\nContent-Length: "
                                  + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
                    socket->disconnectFromHost();
                });
            }
        });
    }
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/feed.json").arg(serverPort())); }

    QByteArray body, request, lastRequest;
    int status = 200;
    int requests = 0;
};

} // namespace

// A found release is kept until a check finds nothing, a user's check says what it found, and the
// automatic switches, kept in the updater's own file, drive the daily check.
TEST(Updater, ChecksByTheUserAndInTheBackgroundAndTheDailySchedule)
{
    QTemporaryDir dir;
    ManualClock clock;
    FeedServer feed;
    ASSERT_TRUE(feed.isListening());
    QList<Updater::Message> messages;
    const auto make = [&](const QUrl& url, const QString& file) {
        auto updater = std::make_unique<Updater>(Updater::Configuration{url, dir.filePath(file), "0.1.0"}, clock);
        updater->setMessagePresenter([&](const Updater::Message& message) { messages.append(message); });
        return updater;
    };
    // Runs one check and waits for its end.
    const auto check = [](Updater& updater, bool user) {
        QSignalSpy finished(&updater, &Updater::checkFinished);
        user ? updater.checkForUpdates() : updater.checkInBackground();
        return TestEnvironment::waitUntil([&] { return finished.count() == 1; }, 10s);
    };
    auto updater = make(feed.url(), "updates.conf");
    QSignalSpy changed(updater.get(), &Updater::availableVersionChanged);
    using Kind = Updater::Message::Kind;
    const QByteArray found = R"({"version": "0.2.0", "url": "https://example.org/mallowby/0.2.0"})";
    const QUrl foundPage("https://example.org/mallowby/0.2.0"), userPage("https://example.org/releases/v1.0.0");
    const struct {
        const char* name;
        bool user;
        int status;
        QByteArray body;
        std::optional<QString> available;
        QUrl page;
        int changes;
        std::optional<Kind> told;  // a background check tells nobody
    } rows[] = {
        {"found in the background", false, 200, found, "0.2.0", foundPage, 1, {}},
        {"the same again", false, 200, found, "0.2.0", foundPage, 1, {}},
        {"found by the user", true, 200, R"({"tag_name": "v1.0.0", "html_url": "https://example.org/releases/v1.0.0"})", "1.0.0", userPage, 2, Kind::updateAvailable},
        {"a server error keeps it", true, 500, "", "1.0.0", userPage, 2, Kind::error},
        {"not a feed keeps it", true, 200, "<html>not a feed</html>", "1.0.0", userPage, 2, Kind::error},
        {"older", true, 200, R"({"version": "0.0.9"})", std::nullopt, QUrl(), 3, Kind::upToDate},
        {"the running version, already none", false, 200, R"({"version": "0.1.0"})", std::nullopt, QUrl(), 3, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        feed.status = row.status;
        feed.body = row.body;
        const qsizetype told = messages.size();
        ASSERT_TRUE(check(*updater, row.user));
        EXPECT_EQ(updater->availableVersion(), row.available);
        EXPECT_EQ(updater->availableRelease() ? updater->availableRelease()->page : QUrl(), row.page);
        EXPECT_EQ(changed.count(), row.changes);
        ASSERT_EQ(messages.size(), told + (row.told ? 1 : 0));
        EXPECT_TRUE(!row.told || messages.last().kind == *row.told);
    }
    EXPECT_EQ(messages[0].text, "mallowby 1.0.0 is now available—you have 0.1.0. Would you like to download it now?");
    EXPECT_EQ(messages[0].page, userPage);
    EXPECT_EQ(messages.last().text, "mallowby 0.1.0 is currently the newest version available.");
    EXPECT_TRUE(feed.lastRequest.startsWith("GET /feed.json ") && feed.lastRequest.contains("User-Agent: mallowby/0.1.0"))
        << feed.lastRequest.toStdString();

    // Without a feed nothing is asked for and nothing is ever found.
    auto none = make(QUrl(), "none.conf");
    QSignalSpy noneChanged(none.get(), &Updater::availableVersionChanged);
    ASSERT_TRUE(check(*none, true));
    EXPECT_EQ(messages.last().kind, Kind::upToDate);
    EXPECT_EQ(noneChanged.count(), 0);
    EXPECT_EQ(feed.requests, 7);

    // Never checked before: the first check comes shortly after launch, then one a day.
    updater.reset();
    none.reset();
    const qsizetype told = messages.size();
    feed.body = R"({"version": "0.3.0"})";
    {
        auto daily = make(feed.url(), "daily.conf");
        EXPECT_TRUE(daily->automaticallyChecksForUpdates() && !daily->automaticallyDownloadsUpdates());
        QSignalSpy finished(daily.get(), &Updater::checkFinished);
        for (const std::chrono::seconds wait : std::initializer_list<std::chrono::seconds>{Updater::firstCheckDelay, Updater::checkInterval}) {
            EXPECT_EQ(clock.pendingTimers(), 1u);
            clock.advance(wait);
            ASSERT_TRUE(TestEnvironment::waitUntil([&, before = finished.count()] { return finished.count() == before + 1; }, 10s));
        }
        EXPECT_EQ(daily->availableVersion(), "0.3.0");
        ASSERT_TRUE(daily->lastCheck().has_value());
        EXPECT_LE(std::abs(daily->lastCheck()->secsTo(QDateTime::currentDateTimeUtc())), 5);
        EXPECT_EQ(messages.size(), told);
        QSignalSpy switched(daily.get(), &Updater::automaticallyChecksForUpdatesChanged);
        daily->setAutomaticallyChecksForUpdates(false);
        daily->setAutomaticallyChecksForUpdates(false);
        daily->setAutomaticallyDownloadsUpdates(true);
        EXPECT_EQ(switched.count(), 1);
        EXPECT_EQ(clock.pendingTimers(), 0u);
    }
    // A later run reads the switches back from the updater's own file.
    auto again = make(feed.url(), "daily.conf");
    EXPECT_TRUE(!again->automaticallyChecksForUpdates() && again->automaticallyDownloadsUpdates());
    EXPECT_EQ(clock.pendingTimers(), 0u);
    // Checked moments ago: the next scheduled check is a day away, not at launch.
    again->setAutomaticallyChecksForUpdates(true);
    EXPECT_EQ(clock.pendingTimers(), 1u);
    clock.advance(Updater::checkInterval - 1h);
    QCoreApplication::processEvents();
    EXPECT_EQ(feed.requests, 9);
}

TEST(UpdaterFeed, OnlyVersionedFeedsCountAndOnlyWebPagesAreOpened)
{
    const QList<std::pair<QByteArray, std::optional<Updater::Release>>> rows{
        {R"({"version": "2.1", "url": "https://example.org/2.1"})", Updater::Release{"2.1", QUrl("https://example.org/2.1")}},
        {R"({"tag_name": "V3.0.1"})", Updater::Release{"3.0.1", QUrl()}},
        {R"({"version": "1.0", "url": "file:///etc/passwd"})", Updater::Release{"1.0", QUrl()}},
        {R"j({"version": "1.0", "url": "javascript:alert(1)"})j", Updater::Release{"1.0", QUrl()}},
        {R"({"version": "soon"})", std::nullopt},
        {R"({"version": 2})", std::nullopt},
        {R"(["1.0"])", std::nullopt},
        {"", std::nullopt}};
    for (const auto& [feed, release] : rows)
        EXPECT_EQ(Updater::parseFeed(feed), release) << feed.toStdString();
}
