#include "MenuBar/MenuBarRenderer.h"

#include "MenuBar/PointMetrics.h"

#include "Settings/Format.h"
#include "Symbols/SymbolImage.h"

#include <QFontDatabase>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <cmath>

namespace mallowby {

namespace {

QFont monospaceFont(double pointSize, QFont::Weight weight)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(pointSize);
    font.setWeight(weight);
    return font;
}

// Samples from the drive monitor are finite and non-negative; anything else counts as idle.
double sample(double v)
{
    return std::isfinite(v) && v > 0 ? v : 0.0;
}

double quantised(double fraction)
{
    return std::round(fraction * 32.0) / 32.0;
}

QString rateText(const QString& prefix, double rate, ByteUnits units)
{
    return prefix + Format::compact(rate, units).rightJustified(4, QLatin1Char(' '));
}

// One regional indicator symbol (U+1F1E6…U+1F1FF) and nothing else.
bool isRegionalIndicator(const QString& cluster)
{
    if (cluster.size() != 2 || !cluster[0].isHighSurrogate() || !cluster[1].isLowSurrogate())
        return false;
    const char32_t c = QChar::surrogateToUcs4(cluster[0], cluster[1]);
    return c >= 0x1F1E6 && c <= 0x1F1FF;
}

// The width of a style's pieces depends only on which pieces it has.
double styleWidth(MenuBarStyle style, bool hasTrace)
{
    using Piece = MenuBarRenderer::Piece;
    QList<Piece> kinds;
    switch (style) {
    case MenuBarStyle::icon:
        kinds = {Piece::glyph(false)};
        break;
    case MenuBarStyle::space:
        kinds = {Piece::stacked({}, {})};
        break;
    case MenuBarStyle::activity:
        kinds = hasTrace ? QList<Piece>{Piece::trace({}, {}), Piece::rates({}, {})} : QList<Piece>{Piece::rates({}, {})};
        break;
    case MenuBarStyle::spaceActivity:
        kinds = hasTrace ? QList<Piece>{Piece::stacked({}, {}), Piece::trace({}, {}), Piece::rates({}, {})}
                         : QList<Piece>{Piece::stacked({}, {}), Piece::rates({}, {})};
        break;
    }
    return MenuBarRenderer::width(kinds);
}

} // namespace

const QFont& MenuBarRenderer::captionFont()
{
    static const QFont font = monospaceFont(8, QFont::Medium);
    return font;
}

const QFont& MenuBarRenderer::valueFont()
{
    static const QFont font = monospaceFont(11, QFont::DemiBold);
    return font;
}

const QFont& MenuBarRenderer::ratesFont()
{
    static const QFont font = monospaceFont(9.5, QFont::Medium);
    return font;
}

double MenuBarRenderer::measure(const QString& text, const QFont& font)
{
    static QHash<QString, double> cache;
    const QString key = QString::number(font.pointSizeF()) + QLatin1Char('|') + text;
    const auto found = cache.constFind(key);
    if (found != cache.cend())
        return *found;
    const double width = std::ceil(PointMetrics(font).horizontalAdvance(text));
    cache.insert(key, width);
    return width;
}

double MenuBarRenderer::advance(const QFont& font)
{
    static QHash<double, double> cache;
    const double size = font.pointSizeF();
    const auto found = cache.constFind(size);
    if (found != cache.cend())
        return *found;
    const double width = PointMetrics(font).horizontalAdvance(QStringLiteral("0"));
    cache.insert(size, width);
    return width;
}

double MenuBarRenderer::glyphWidth()
{
    static const double width = [] {
        double widest = 0;
        for (const char* name : {"externaldrive", "externaldrive.badge.exclamationmark"})
            if (const auto symbol = SymbolImage::named(QString::fromLatin1(name)))
                widest = std::max(widest, std::ceil(symbol->size().width()));
        return widest > 0 ? widest : 22.0;
    }();
    return width;
}

double MenuBarRenderer::stackedWidth()
{
    static const double width =
        std::max(measure(QStringLiteral("88888888"), captionFont()), measure(QStringLiteral("8888"), valueFont()));
    return width;
}

double MenuBarRenderer::ratesWidth()
{
    static const double width = measure(QStringLiteral("R 8888"), ratesFont());
    return width;
}

double MenuBarRenderer::width(const Piece& piece)
{
    struct Visitor {
        double operator()(const Piece::Glyph&) const { return glyphWidth(); }
        double operator()(const Piece::Stacked&) const { return stackedWidth(); }
        double operator()(const Piece::Rates&) const { return ratesWidth(); }
        double operator()(const Piece::Trace&) const { return traceWidth; }
    };
    return std::visit(Visitor{}, piece.value);
}

double MenuBarRenderer::gap(const Piece& left)
{
    return std::holds_alternative<Piece::Trace>(left.value) ? 4.0 : 6.0;
}

double MenuBarRenderer::width(const QList<Piece>& pieces)
{
    double total = 0;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        if (i > 0)
            total += gap(pieces[i - 1]);
        total += width(pieces[i]);
    }
    return std::ceil(total);
}

QStringList MenuBarRenderer::characters(const QString& text)
{
    QStringList clusters;
    // Printable characters below the combining marks stand alone: the common case, without the
    // boundary finder's allocations.
    if (std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() >= 0x20 && c.unicode() < 0x300; })) {
        clusters.reserve(text.size());
        for (QChar c : text)
            clusters << QString(c);
        return clusters;
    }
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype start = 0;
    bool openFlag = false;  // the last cluster is the first half of a flag
    while (finder.toNextBoundary() != -1) {
        const qsizetype end = finder.position();
        if (end <= start)
            continue;
        const QString cluster = text.mid(start, end - start);
        start = end;
        // Qt's finder breaks between regional indicators; a flag is a pair of them.
        const bool indicator = isRegionalIndicator(cluster);
        if (indicator && openFlag) {
            clusters.last() += cluster;
            openFlag = false;
            continue;
        }
        clusters << cluster;
        openFlag = indicator;
    }
    return clusters;
}

QString MenuBarRenderer::fitCaption(const QString& name, bool low)
{
    const double a = advance(captionFont());
    // A font without metrics still gets the usual eight characters rather than a division by zero.
    const qsizetype fits = a > 0 && std::isfinite(a) ? qsizetype(stackedWidth() / a) : 8;
    const qsizetype max = fits - (low ? 1 : 0);
    const QStringList clusters = characters(name);
    QString caption;
    if (clusters.size() <= max)
        caption = name;
    else
        caption = clusters.mid(0, std::max<qsizetype>(max - 1, 1)).join(QString()) + QChar(0x2026);
    if (low)
        caption += QLatin1Char('!');
    return caption;
}

QList<MenuBarRenderer::Piece> MenuBarRenderer::pieces(MenuBarStyle style, const Inputs& inputs)
{
    const auto stacked = [&] {
        return Piece::stacked(fitCaption(inputs.pinnedName, inputs.pinnedLow), Format::compact(inputs.pinnedAvailable, inputs.units));
    };
    const auto rates = [&] {
        return Piece::rates(rateText(QStringLiteral("R "), inputs.readRate, inputs.units),
                            rateText(QStringLiteral("W "), inputs.writeRate, inputs.units));
    };
    // Every sample is drawn against the largest one, but never against less than 1 MB/s, so a
    // quiet drive shows a nearly flat line.
    const auto trace = [&] {
        const Inputs::Trace& samples = *inputs.trace;
        double scale = 1'000'000;
        for (double v : samples.read)
            scale = std::max(scale, sample(v));
        for (double v : samples.write)
            scale = std::max(scale, sample(v));
        QList<double> primary, secondary;
        primary.reserve(samples.write.size());
        secondary.reserve(samples.read.size());
        for (double v : samples.write)
            primary << quantised(sample(v) / scale);
        for (double v : samples.read)
            secondary << quantised(sample(v) / scale);
        return Piece::trace(primary, secondary);
    };

    QList<Piece> result;
    switch (style) {
    case MenuBarStyle::icon:
        result << Piece::glyph(inputs.anyLow);
        break;
    case MenuBarStyle::space:
        result << stacked();
        break;
    case MenuBarStyle::activity:
        if (inputs.trace)
            result << trace();
        result << rates();
        break;
    case MenuBarStyle::spaceActivity:
        result << stacked();
        if (inputs.trace)
            result << trace();
        result << rates();
        break;
    }
    return result;
}

MenuBarRenderer::Layout MenuBarRenderer::layout(const Inputs& inputs)
{
    Layout result;
    result.pieces = pieces(inputs.style, inputs);
    // The shown style counts too: pieces never overflow the width, whatever the reserved list says.
    result.width = width(result.pieces);
    for (MenuBarStyle style : inputs.reserved)
        result.width = std::max(result.width, styleWidth(style, inputs.trace.has_value()));
    return result;
}

} // namespace mallowby
