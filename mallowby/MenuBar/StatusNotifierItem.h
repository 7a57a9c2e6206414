#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QString>

#include <optional>

class QDBusServiceWatcher;

namespace mallowby {

// The tray item as an org.kde.StatusNotifierItem object on the session bus, registered with the
// StatusNotifierWatcher and registered again whenever the watcher gets a new owner. Holds what the
// panel reads (pixmaps at their true sizes, tooltip, label) and announces each change; turns the
// panel's calls into signals. Never blocks on the bus. Main thread only.
class StatusNotifierItem : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconThemePath READ none)
    Q_PROPERTY(QString IconName READ none)
    Q_PROPERTY(mallowby::StatusNotifierItem::Pixmaps IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ none)
    Q_PROPERTY(mallowby::StatusNotifierItem::Pixmaps OverlayIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionIconName READ none)
    Q_PROPERTY(mallowby::StatusNotifierItem::Pixmaps AttentionIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionMovieName READ none)
    Q_PROPERTY(mallowby::StatusNotifierItem::Tip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)
    Q_PROPERTY(QString XAyatanaLabel READ label)
    Q_PROPERTY(QString XAyatanaLabelGuide READ labelGuide)
    Q_PROPERTY(uint XAyatanaOrderingIndex READ orderingIndex)
    Q_PROPERTY(QString IconAccessibleDesc READ accessibleDescription)
    Q_PROPERTY(QString AttentionAccessibleDesc READ accessibleDescription)
public:
    // One picture: ARGB32 in network byte order, row by row.
    struct Pixmap {
        int width = 0;
        int height = 0;
        QByteArray data;
        bool operator==(const Pixmap&) const = default;
        static Pixmap fromImage(const QImage& image);
        QImage toImage() const;
    };
    using Pixmaps = QList<Pixmap>;
    struct Tip {
        QString iconName;
        Pixmaps icon;
        QString title;
        QString subtitle;
        bool operator==(const Tip&) const = default;
    };

    static inline const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
    static inline const QString objectPath = QStringLiteral("/StatusNotifierItem");
    static inline const QString menuPath = QStringLiteral("/MenuBar");

    explicit StatusNotifierItem(QObject* parent = nullptr);
    ~StatusNotifierItem() override;

    // Publishes the item on this bus (and leaves the one before); a bus that is not connected
    // leaves it unpublished.
    void attach(QDBusConnection bus);
    // A watcher accepted the item.
    bool isRegistered() const { return m_registered; }
    // The first registration attempt has been answered (either way).
    bool isSettled() const { return m_settled; }
    // The command name of the watcher's process, once known.
    const QString& hostProcess() const { return m_hostProcess; }

    QString category() const { return QStringLiteral("Hardware"); }
    QString id() const { return QStringLiteral("mallowby"); }
    QString title() const { return QStringLiteral("mallowby"); }
    // "Active", or "Passive" while the item is hidden.
    QString status() const { return m_active ? QStringLiteral("Active") : QStringLiteral("Passive"); }
    int windowId() const { return 0; }
    QString none() const { return {}; }
    const Pixmaps& iconPixmap() const { return m_pixmaps; }
    Pixmaps noPixmaps() const { return {}; }
    const Tip& toolTip() const { return m_toolTip; }
    bool itemIsMenu() const { return false; }
    QDBusObjectPath menu() const { return QDBusObjectPath(menuPath); }
    const QString& label() const { return m_label; }
    const QString& labelGuide() const { return m_labelGuide; }
    uint orderingIndex() const { return 0; }
    const QString& accessibleDescription() const { return m_accessibleDescription; }

    // Each announces itself when it changed.
    void setPixmaps(const Pixmaps& pixmaps);
    void setToolTip(const QString& subtitle);
    void setLabel(const QString& label, const QString& guide);
    void setActive(bool active);
    void setAccessibleDescription(const QString& text);

    static void registerTypes();

public slots:
    Q_SCRIPTABLE void Activate(int x, int y);
    Q_SCRIPTABLE void SecondaryActivate(int x, int y);
    Q_SCRIPTABLE void ContextMenu(int x, int y);
    Q_SCRIPTABLE void Scroll(int delta, const QString& orientation);
    Q_SCRIPTABLE void ProvideXdgActivationToken(const QString& token);

signals:
    Q_SCRIPTABLE void NewTitle();
    Q_SCRIPTABLE void NewIcon();
    Q_SCRIPTABLE void NewToolTip();
    Q_SCRIPTABLE void NewStatus(const QString& status);
    Q_SCRIPTABLE void XAyatanaNewLabel(const QString& label, const QString& guide);

    // The panel's calls, with the screen point it passed (0,0 where it passes none).
    void activated(QPoint at);
    void secondaryActivated(QPoint at);
    void contextMenuRequested(QPoint at);
    void registeredChanged();
    void hostProcessChanged();

private:
    void registerWithWatcher();
    void askHostProcess();
    void setRegistered(bool registered);

    std::optional<QDBusConnection> m_bus;
    QDBusServiceWatcher* m_watcher = nullptr;
    quint64 m_generation = 0;  // bumped per bus and per watcher owner: older replies are dropped
    bool m_registered = false;
    bool m_settled = false;
    QString m_hostProcess;
    Pixmaps m_pixmaps;
    Tip m_toolTip;
    QString m_label;
    QString m_labelGuide;
    QString m_accessibleDescription;
    bool m_active = true;
};

QDBusArgument& operator<<(QDBusArgument& argument, const StatusNotifierItem::Pixmap& pixmap);
const QDBusArgument& operator>>(const QDBusArgument& argument, StatusNotifierItem::Pixmap& pixmap);
QDBusArgument& operator<<(QDBusArgument& argument, const StatusNotifierItem::Tip& tip);
const QDBusArgument& operator>>(const QDBusArgument& argument, StatusNotifierItem::Tip& tip);

} // namespace mallowby

Q_DECLARE_METATYPE(mallowby::StatusNotifierItem::Pixmap)
Q_DECLARE_METATYPE(mallowby::StatusNotifierItem::Tip)
