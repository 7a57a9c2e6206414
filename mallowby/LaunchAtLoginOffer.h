#pragma once

#include <QString>

class QMessageBox;
class QSettings;

namespace mallowby {

class LoginItem;

// The one-time offer to start the program at login, made once it runs from an installed place.
class LaunchAtLoginOffer {
public:
    static inline const QString offeredKey = QStringLiteral("offeredLaunchAtLogin");
    static inline const QString messageText = QStringLiteral("Start mallowby when you log in?");
    static inline const QString informativeText =
        QStringLiteral("mallowby lives in the menu bar. You can change this any time in its settings.");
    static inline const QString acceptTitle = QStringLiteral("Start at Login");
    static inline const QString declineTitle = QStringLiteral("Not Now");

    // Under /usr/, /opt/ or the home's .local/, and not inside a build tree.
    static bool isInstalledLocation(const QString& executable, const QString& home);

    // Whether to show the offer. Marks it made (in `store`) the first time the program runs
    // from an installed place, and then answers true unless the login item is already enabled.
    static bool shouldOffer(QSettings& store, const QString& executable, const QString& home, const LoginItem& item);

    // The alert, shown without blocking; "Start at Login" registers the item (an error is
    // dropped: the settings page is where to try again).
    static QMessageBox* show(const LoginItem& item);
};

} // namespace mallowby
