#include "Popover/Controls/PopoverTheme.h"

#include "Platform/Linux/SessionBus.h"

#include <QApplication>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QCoro/QCoroDBusPendingCall>
#include <QEvent>
#include <QFontDatabase>
#include <QLabel>
#include <QLineF>
#include <QPainter>
#include <QRegion>
#include <QWidget>

#include <algorithm>

namespace mallowby {

namespace {

const char* const toneProperty = "mallowby.tone";
bool contrast = false;

QColor toColor(const Accent::Color& c)
{
    return QColor::fromRgbF(float(c.red), float(c.green), float(c.blue));
}

QColor withAlpha(QColor color, double alpha)
{
    color.setAlphaF(float(alpha));
    return color;
}

// The colours of a widget's tone, from the palette around it.
void applyTone(QWidget* widget)
{
    const auto tone = PopoverTheme::Tone(widget->property(toneProperty).toInt());
    const QPalette around = widget->parentWidget() ? widget->parentWidget()->palette() : QApplication::palette(widget);
    const QColor color = PopoverTheme::color(around, tone);
    QPalette palette = widget->palette();
    if (palette.color(QPalette::WindowText) == color && palette.color(QPalette::ButtonText) == color)
        return;  // also ends the palette change this very call sends
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::ButtonText, color);
    widget->setPalette(palette);
}

// Re-applies the tone when the palette around a toned widget changes.
class ToneKeeper final : public QObject {
public:
    bool eventFilter(QObject* object, QEvent* event) override
    {
        if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ParentChange)
            if (auto* widget = qobject_cast<QWidget*>(object))
                applyTone(widget);
        return false;
    }
};

} // namespace

QFont PopoverTheme::font(Font role)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    double body = QApplication::font().pointSizeF();
    if (body <= 0)
        body = 10;
    double factor = 1;
    switch (role) {
    case Font::body:
        break;
    case Font::headline:
        font.setWeight(QFont::DemiBold);
        break;
    case Font::caption:
        factor = 0.85;
        break;
    case Font::captionSemibold:
        factor = 0.85;
        font.setWeight(QFont::DemiBold);
        break;
    case Font::caption2:
        factor = 0.77;
        break;
    }
    font.setPointSizeF(std::max(minimumPointSize, body * factor));
    return font;
}

QColor PopoverTheme::color(const QPalette& palette, Tone tone)
{
    // The tones are made from the text colour, which toned widgets leave alone.
    const QColor ink = palette.color(QPalette::Text);
    switch (tone) {
    case Tone::primary:
        return ink;
    case Tone::secondary:
        return withAlpha(ink, 0.6);
    case Tone::tertiary:
        return withAlpha(ink, 0.35);
    case Tone::accent:
        return palette.color(QPalette::Link);
    case Tone::write:
        return palette.color(QPalette::LinkVisited);
    case Tone::orange:
        return QColor::fromRgba(orange);
    case Tone::red:
        return QColor::fromRgba(red);
    }
    return ink;
}

QColor PopoverTheme::fill(const QPalette& palette, double opacity)
{
    return withAlpha(palette.color(QPalette::Text), opacity);
}

void PopoverTheme::paintPanel(QPainter& painter, const QRect& rect, const QRegion& exposed, const QColor& fill,
                              const QColor& border, double radius)
{
    // Pixels wholly inside the border's inner edge, with half a pixel to spare for antialiasing:
    // the rectangle inset by 1.5 with corners of radius - 1 around the outline's own centres.
    const QRectF plain = QRectF(rect).adjusted(1.5, 1.5, -1.5, -1.5);
    const double inner = radius - 1;
    const auto inside = [&](QPointF p) {
        const QPointF centre(std::clamp(p.x(), plain.left() + inner, plain.right() - inner),
                             std::clamp(p.y(), plain.top() + inner, plain.bottom() - inner));
        return QLineF(p, centre).length() <= inner;
    };
    const bool clear = inner > 0 && plain.width() > 2 * inner && plain.height() > 2 * inner && !exposed.isEmpty()
                       && std::all_of(exposed.begin(), exposed.end(), [&](const QRect& part) {
                              const QRectF edges(part);
                              return inside(edges.topLeft()) && inside(edges.topRight()) && inside(edges.bottomLeft())
                                     && inside(edges.bottomRight());
                          });
    if (clear) {
        for (const QRect& part : exposed)
            painter.fillRect(part, fill);
        return;
    }
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(border, 1));
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(rect).adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
}

QColor PopoverTheme::accentColor(Accent accent)
{
    const QColor highlight = QApplication::palette().color(QPalette::Highlight);
    return toColor(accent.color(Accent::Color{highlight.redF(), highlight.greenF(), highlight.blueF()}));
}

void PopoverTheme::setAccent(QWidget* root, Accent accent)
{
    QPalette palette = root->palette();
    palette.setColor(QPalette::Link, accentColor(accent));
    palette.setColor(QPalette::LinkVisited, toColor(accent.writeColor()));
    root->setPalette(palette);
}

void PopoverTheme::setTone(QWidget* widget, Tone tone)
{
    static ToneKeeper* keeper = new ToneKeeper;
    if (!widget->property(toneProperty).isValid())
        widget->installEventFilter(keeper);
    widget->setProperty(toneProperty, int(tone));
    applyTone(widget);
}

void PopoverTheme::setText(QWidget* widget, Font font, Tone tone)
{
    widget->setFont(PopoverTheme::font(font));
    setTone(widget, tone);
}

QLabel* PopoverTheme::label(const QString& text, Font font, Tone tone, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    setText(label, font, tone);
    return label;
}

bool PopoverTheme::increasedContrast()
{
    return contrast;
}


} // namespace mallowby

namespace mallowby {

QCoro::Task<> PopoverTheme::readIncreasedContrast(QPointer<QWidget> repaint)
{
    static bool asked = false;
    if (asked)
        co_return;
    asked = true;
    QDBusConnection bus = SessionBus::user();
    if (!bus.isConnected())
        co_return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.portal.Desktop"), QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.portal.Settings"), QStringLiteral("Read"));
    call << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("contrast");
    QDBusPendingCall pending = bus.asyncCall(call);
    const QDBusMessage reply = co_await pending;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        co_return;
    // Read answers a variant holding the variant of the value.
    QVariant value = reply.arguments().first();
    while (value.canConvert<QDBusVariant>() && value.userType() == qMetaTypeId<QDBusVariant>())
        value = qvariant_cast<QDBusVariant>(value).variant();
    const bool on = value.toUInt() == 1;
    if (on == contrast)
        co_return;
    contrast = on;
    if (repaint)
        repaint->update();
}

} // namespace mallowby
