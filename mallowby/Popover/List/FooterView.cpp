#include "Popover/List/FooterView.h"

#include "Popover/Controls/PopoverButton.h"
#include "Popover/PopoverState.h"
#include "Popover/Controls/PopoverTheme.h"
#include "Updates/Updater.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>

namespace mallowby {

using Tone = PopoverTheme::Tone;

FooterView::FooterView(PopoverState& state, Updater& updater, QWidget* parent)
    : QWidget(parent),
      m_state(state),
      m_updater(updater),
      m_settings(new PopoverButton(QStringLiteral("settings"), QStringLiteral("gearshape"), Tone::secondary, this)),
      m_version(PopoverTheme::label(versionText(QCoreApplication::applicationVersion()), PopoverTheme::Font::caption,
                                    Tone::tertiary, this)),
      m_update(new PopoverButton({}, QStringLiteral("arrow.down.circle"), Tone::accent, this))
{
    auto* quit = new PopoverButton(QStringLiteral("quit"), {}, Tone::secondary, this);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    row->addWidget(m_settings);
    row->addStretch();
    row->addWidget(m_version);
    row->addWidget(m_update);
    row->addStretch();
    row->addWidget(quit);

    connect(m_settings, &QToolButton::clicked, this, [this] { m_state.setShowingSettings(!m_state.showingSettings()); });
    connect(m_update, &QToolButton::clicked, this, [this] {
        window()->activateWindow();
        m_updater.checkForUpdates();
    });
    connect(quit, &QToolButton::clicked, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    connect(&m_state, &PopoverState::showingSettingsChanged, this, &FooterView::present);
    connect(&m_updater, &Updater::availableVersionChanged, this, &FooterView::present);
    present();
}

QString FooterView::versionText(const QString& applicationVersion)
{
    return QStringLiteral("v") + (applicationVersion.isEmpty() ? QStringLiteral("dev") : applicationVersion);
}

void FooterView::present()
{
    const bool settings = m_state.showingSettings();
    m_settings->setText(settings ? QStringLiteral("done") : QStringLiteral("settings"));
    m_settings->setSymbol(settings ? QStringLiteral("chevron.left") : QStringLiteral("gearshape"));

    const std::optional<QString>& available = m_updater.availableVersion();
    m_version->setVisible(!available);
    m_update->setVisible(available.has_value());
    if (available) {
        m_update->setText(QStringLiteral("update to ") + *available);
        m_update->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        m_update->setToolTip(QStringLiteral("mallowby ") + *available + QStringLiteral(" is available"));
    }
}

} // namespace mallowby
