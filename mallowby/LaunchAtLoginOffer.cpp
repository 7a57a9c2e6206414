#include "LaunchAtLoginOffer.h"

#include "LoginItem.h"

#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>

namespace mallowby {

bool LaunchAtLoginOffer::isInstalledLocation(const QString& executable, const QString& home)
{
    const QFileInfo info(executable);
    const QString path = info.canonicalFilePath().isEmpty() ? QDir::cleanPath(info.absoluteFilePath())
                                                            : info.canonicalFilePath();
    QStringList roots{QStringLiteral("/usr/"), QStringLiteral("/opt/")};
    if (!home.isEmpty() && home != QStringLiteral("/"))
        roots << QDir::cleanPath(home) + QStringLiteral("/.local/");
    if (std::none_of(roots.cbegin(), roots.cend(), [&](const QString& root) { return path.startsWith(root); }))
        return false;
    // A build tree under one of them does not count: CMake leaves its cache at the top.
    QDir dir = QFileInfo(path).absoluteDir();
    for (int level = 0; level < 4; ++level) {
        if (dir.exists(QStringLiteral("CMakeCache.txt")))
            return false;
        if (!dir.cdUp())
            break;
    }
    return true;
}

bool LaunchAtLoginOffer::shouldOffer(QSettings& store, const QString& executable, const QString& home,
                                     const LoginItem& item)
{
    if (store.value(offeredKey, false).toBool())
        return false;
    // From elsewhere (a build tree, a download folder) the offer waits for a later launch.
    if (!isInstalledLocation(executable, home))
        return false;
    store.setValue(offeredKey, true);
    store.sync();
    return item.status() != LoginItem::Status::enabled;
}

QMessageBox* LaunchAtLoginOffer::show(const LoginItem& item)
{
    auto* box = new QMessageBox(QMessageBox::Question, QStringLiteral("mallowby"), messageText);
    box->setInformativeText(informativeText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    QPushButton* accept = box->addButton(acceptTitle, QMessageBox::AcceptRole);
    QPushButton* decline = box->addButton(declineTitle, QMessageBox::RejectRole);
    box->setDefaultButton(accept);
    box->setEscapeButton(decline);
    QObject::connect(accept, &QPushButton::clicked, [item] { (void)item.registerItem(); });
    box->open();
    box->raise();
    box->activateWindow();
    return box;
}

} // namespace mallowby
