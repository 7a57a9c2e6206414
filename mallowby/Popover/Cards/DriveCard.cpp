#include "Popover/Cards/DriveCard.h"

#include "Popover/Cards/DriveIcon.h"
#include "Popover/Cards/EjectStatusView.h"
#include "Popover/Controls/KeyedStack.h"
#include "Popover/Controls/PopoverAccessibility.h"
#include "Popover/Controls/PopoverButton.h"
#include "Popover/Cards/Rate.h"
#include "Popover/Cards/TraceView.h"
#include "Popover/Cards/VolumeRow.h"

#include "Eject/Ejector.h"
#include "Eject/FlushWatch.h"
#include "Settings/Format.h"
#include "Settings/Preferences.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>

namespace mallowby {

using Tone = PopoverTheme::Tone;
using Font = PopoverTheme::Font;

namespace {

constexpr double flatScale = 1'000'000;

QString countText(quint64 bytes, ByteUnits units)
{
    const quint64 limit = quint64(std::numeric_limits<qint64>::max());
    return Format::bytes(qint64(std::min(bytes, limit)), units);
}

} // namespace

DriveCard::DriveCard(Ejector& ejector, const Preferences& preferences, bool ejectable, QWidget* parent)
    : Card(parent),
      m_ejector(ejector),
      m_preferences(preferences),
      m_ejectable(ejectable),
      m_icon(new DriveIcon(this)),
      m_name(PopoverTheme::label({}, Font::headline, Tone::primary, this)),
      m_subtitle(PopoverTheme::label({}, Font::caption, Tone::secondary, this)),
      m_activity(new QWidget(this)),
      m_read(new Rate(QStringLiteral("R"), Tone::accent, Font::caption, m_activity)),
      m_write(new Rate(QStringLiteral("W"), Tone::write, Font::caption, m_activity)),
      m_trace(new TraceView(m_activity)),
      m_sessionRead(new Rate(QStringLiteral("R"), Tone::primary, Font::caption2, m_activity)),
      m_sessionWritten(new Rate(QStringLiteral("W"), Tone::primary, Font::caption2, m_activity)),
      m_noStatistics(PopoverTheme::label(QStringLiteral("No I/O statistics from this device"), Font::caption,
                                         Tone::secondary, this)),
      m_divider(new QFrame(this)),
      m_rows(new KeyedStack(8, this))
{
    m_name->setTextFormat(Qt::PlainText);
    m_name->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_subtitle->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);

    auto* header = new QHBoxLayout;
    header->setSpacing(8);
    header->addWidget(m_icon, 0, Qt::AlignVCenter);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(1);
    titles->addWidget(m_name);
    titles->addWidget(m_subtitle);
    header->addLayout(titles, 1);
    if (ejectable) {
        m_more = new PopoverButton({}, QStringLiteral("ellipsis.circle"), Tone::secondary, this);
        m_more->setPopupMenu({{QStringLiteral("Eject"), [this] { eject(); }},
                              {QStringLiteral("Who's Using This?"), [this] { inspect(); }}});
        m_eject = new PopoverButton({}, QStringLiteral("eject"), Tone::secondary, this);
        m_eject->setToolTip(QStringLiteral("Eject"));
        connect(m_eject, &QToolButton::clicked, this, &DriveCard::eject);
        header->addWidget(m_more, 0, Qt::AlignVCenter);
        header->addWidget(m_eject, 0, Qt::AlignVCenter);
    }
    column()->addLayout(header);

    // The activity section speaks as one element.
    auto* activity = new QVBoxLayout(m_activity);
    activity->setContentsMargins(0, 0, 0, 0);
    activity->setSpacing(4);
    auto* rates = new QHBoxLayout;
    rates->setSpacing(4);
    rates->addWidget(m_read);
    rates->addWidget(m_write);
    rates->addStretch();
    activity->addLayout(rates);
    activity->addWidget(m_trace);
    auto* session = new QHBoxLayout;
    session->setSpacing(4);
    session->addWidget(PopoverTheme::label(QStringLiteral("session"), Font::caption2, Tone::secondary, m_activity));
    session->addWidget(m_sessionRead);
    session->addWidget(m_sessionWritten);
    session->addStretch();
    activity->addLayout(session);
    for (QWidget* part : m_activity->findChildren<QWidget*>())
        PopoverAccessibility::hide(part);
    column()->addWidget(m_activity);
    column()->addWidget(m_noStatistics);

    auto* divider = static_cast<QFrame*>(m_divider);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Plain);
    divider->setFixedHeight(1);
    PopoverTheme::setTone(divider, Tone::tertiary);
    PopoverAccessibility::hide(divider);
    column()->addWidget(m_divider);
    column()->addWidget(m_rows);
}

QString DriveCard::subtitle(const Drive& drive, qsizetype volumeCount)
{
    QStringList parts;
    if (drive.kind == VolumeKind::internal)
        parts << QStringLiteral("Internal");
    else if (drive.kind == VolumeKind::diskImage)
        parts << QStringLiteral("Disk image");
    else if (drive.deviceProtocol)
        parts << *drive.deviceProtocol;
    if (drive.members.size() >= 2)
        parts << QStringLiteral("RAID of %1").arg(drive.members.size());
    parts << (volumeCount == 1 ? QStringLiteral("1 volume") : QStringLiteral("%1 volumes").arg(volumeCount));
    return parts.join(QStringLiteral(" · "));
}

QString DriveCard::activityLabel(const Drive& drive, ByteUnits units)
{
    if (!drive.readRate || !drive.writeRate)
        return QStringLiteral("No I/O statistics from this device");
    return QStringLiteral("Reading ") + Format::spoken(*drive.readRate, units, true) + QStringLiteral(", Writing ")
           + Format::spoken(*drive.writeRate, units, true) + QStringLiteral(", session R ")
           + countText(drive.session.bytesRead, units) + QStringLiteral(" W ") + countText(drive.session.bytesWritten, units);
}

void DriveCard::present(const Drive& drive, const QList<Volume>& volumes)
{
    const Ejector::Status* status = m_ejector.status(drive.id);
    const FlushWatch* flushes = FlushWatch::of(m_ejector);
    const FlushEstimate* flush = flushes ? flushes->estimate(drive.id) : nullptr;
    Presented presented{drive, volumes, status ? std::optional(*status) : std::nullopt,
                        flush ? std::optional(*flush) : std::nullopt, m_preferences.units(),
                        m_preferences.lowSpaceThreshold()};
    if (presented == m_presented)
        return;
    m_presented = std::move(presented);

    const bool renamed = drive.name != m_drive.name || m_drive.id.isEmpty();
    m_drive = drive;
    m_icon->setDrive(drive);
    m_subtitle->setText(subtitle(drive, volumes.size()));
    if (renamed) {
        setProperty("mallowby.target", drive.id);
        m_name->setText(drive.name);
        if (m_ejectable) {
            m_more->setAccessibleName(QStringLiteral("More for ") + drive.name);
            m_eject->setAccessibleName(QStringLiteral("Eject ") + drive.name);
        }
    }
    if (!m_status) {
        // Below the header; a card's drive id does not change.
        m_status = new EjectStatusView(m_ejector, drive.id, QStringLiteral("Ejecting…"), this);
        column()->insertWidget(1, m_status);
    }
    m_status->refresh();
    m_status->presentFlush(m_preferences.units());
    setHighlighted(m_status->hasFailure());
    presentActivity(drive);

    QStringList keys;
    for (const Volume& volume : volumes)
        keys << volume.id;
    m_rows->sync(keys, [this](const QString&) { return new VolumeRow(m_preferences, nullptr, m_rows); });
    for (const Volume& volume : volumes)
        m_rows->viewAs<VolumeRow>(volume.id)->present(volume);
    m_divider->setVisible(!volumes.isEmpty());
}

void DriveCard::presentActivity(const Drive& drive)
{
    const bool statistics = drive.readRate && drive.writeRate;
    m_activity->setVisible(statistics);
    m_noStatistics->setVisible(!statistics);
    if (!statistics)
        return;
    const ByteUnits units = m_preferences.units();
    m_read->setValue(Format::rate(*drive.readRate, units));
    m_write->setValue(Format::rate(*drive.writeRate, units));
    const QList<double> reads = drive.readTrace.values();
    const QList<double> writes = drive.writeTrace.values();
    double scale = flatScale;
    for (const QList<double>* series : {&reads, &writes})
        for (double v : *series)
            scale = std::max(scale, v);
    m_trace->set({reads, Tone::accent}, scale, TraceView::Series{writes, Tone::write});
    m_sessionRead->setValue(countText(drive.session.bytesRead, units));
    m_sessionWritten->setValue(countText(drive.session.bytesWritten, units));
    const QString label = activityLabel(drive, units);
    if (m_activity->accessibleName() != label)
        m_activity->setAccessibleName(label);
}

void DriveCard::eject()
{
    (void)m_ejector.eject(EjectTarget::fromDrive(m_drive), false);
}

void DriveCard::inspect()
{
    (void)m_ejector.inspect(EjectTarget::fromDrive(m_drive));
}

} // namespace mallowby
