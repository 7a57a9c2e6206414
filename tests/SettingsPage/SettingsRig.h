#pragma once

#include "TrayItem/TrayRig.h"

#include "LoginItem.h"
#include "Popover/SettingsPage/SettingsView.h"

#include "support/AccessibleTree.h"

namespace mallowby::test {

// The desktop's notification service as a test sets it: a status, the answer to a permission
// request, a count of them, and the settings program.
class ScriptedNotificationServer final : public NotificationServer {
public:
    Authorization status = Authorization::denied;
    Authorization answer = Authorization::authorized;
    int requests = 0;
    std::optional<QStringList> command;

    QCoro::Task<Authorization> authorization() override { co_return status; }
    QCoro::Task<bool> requestAuthorization() override
    {
        ++requests;
        status = answer;
        co_return status == Authorization::authorized;
    }
    void post(const Notice&) override {}
    std::optional<QStringList> settingsCommand() const override { return command; }
};

// The settings page over the stack the tray item works on, with a scripted notification service,
// the updater's settings and the autostart entry in the test's folder.
class SettingsPage : public TrayRig {
protected:
    void SetUp() override
    {
        TrayRig::SetUp();
        server->command = QStringList{"touch", dir.filePath("opened-notification-settings")};
        notificationServer = server;
    }
    void TearDown() override
    {
        view.reset();
        TrayRig::TearDown();
    }

    // Starts the stack on these mounts and shows the page.
    void showPage(const QList<std::pair<QString, QString>>& mounts = stickAndHome)
    {
        start(mounts);
        notifier->start();
        updater->setMessagePresenter([this](const Updater::Message& message) { messages.append(message); });
        view = std::make_unique<SettingsView>(*preferences, *store, *notifier, *updater, LoginItem(autostartPath(), "/usr/bin/mallowby"),
                                              [this] { ++copies; }, clock);
        view->resize(312, 700);
        view->show();
        settle();
    }
    QString autostartPath() const { return dir.filePath("autostart/mallowby.desktop"); }
    // The value stored under `key`, read back from the file by a store of its own.
    QVariant stored(const QString& key) const { return QSettings(settings->fileName(), QSettings::IniFormat).value(key); }

    AccessibleTree page() const { return AccessibleTree(view.get()); }
    // A control by name, a check box unless told.
    QAccessibleInterface* control(const QString& name, QAccessible::Role role = QAccessible::CheckBox) const
    {
        return page().find(name, role);
    }
    // A choice of one of the page's pickers ("style", "units", "low space").
    QAccessibleInterface* segment(const QString& picker, const QString& label) const
    {
        return AccessibleTree::findIn(page().find(picker, QAccessible::Client), label);
    }
    QList<MenuBarRenderer::Piece> trayPieces() const
    {
        return controller->lastRender() ? controller->lastRender()->layout.pieces : QList<MenuBarRenderer::Piece>{};
    }

    std::shared_ptr<ScriptedNotificationServer> server = std::make_shared<ScriptedNotificationServer>();
    std::unique_ptr<SettingsView> view;
    QList<Updater::Message> messages;
    int copies = 0;
};

} // namespace mallowby::test
