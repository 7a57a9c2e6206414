#pragma once

#include "Settings/ByteUnits.h"
#include "Settings/MenuBarStyle.h"

#include <QColor>
#include <QFont>
#include <QHash>
#include <QImage>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

namespace mallowby {

// Lays out and draws the tray item's image. Stateless apart from process-wide caches (measurements,
// glyph cells, tinted symbols, two pooled pixel buffers); main thread only.
//
// Units are points (device-independent pixels); an image at scale s has s pixels per point.
class MenuBarRenderer {
public:
    MenuBarRenderer() = delete;

    // ---- Layout ----

    // What to show, as the controller gathers it from the live data.
    struct Inputs {
        // Rate samples, oldest first, bytes per second.
        struct Trace {
            QList<double> read;
            QList<double> write;
            bool operator==(const Trace&) const = default;
        };

        MenuBarStyle style;              // already resolved for the current state
        QList<MenuBarStyle> reserved;    // styles whose widths the item keeps room for
        QString pinnedName;
        double pinnedAvailable = 0;      // bytes
        bool pinnedLow = false;
        bool anyLow = false;             // the drive symbol's badge
        double readRate = 0;             // bytes per second
        double writeRate = 0;
        std::optional<Trace> trace;      // absent when the trace is switched off
        ByteUnits units;

        bool operator==(const Inputs&) const = default;
    };

    // One drawable element of the image.
    struct Piece {
        struct Glyph {
            bool badge = false;
            bool operator==(const Glyph&) const = default;
        };
        // The volume name over its free space.
        struct Stacked {
            QString caption;
            QString value;
            bool operator==(const Stacked&) const = default;
        };
        // Read rate over write rate.
        struct Rates {
            QString read;
            QString write;
            bool operator==(const Rates&) const = default;
        };
        // Fractions of the chart height in 0...1, multiples of 1/32. Primary: writes, secondary: reads.
        struct Trace {
            QList<double> primary;
            QList<double> secondary;
            bool operator==(const Trace&) const = default;
        };

        std::variant<Glyph, Stacked, Rates, Trace> value;

        static Piece glyph(bool badge) { return {Glyph{badge}}; }
        static Piece stacked(const QString& caption, const QString& value) { return {Stacked{caption, value}}; }
        static Piece rates(const QString& read, const QString& write) { return {Rates{read, write}}; }
        static Piece trace(const QList<double>& primary, const QList<double>& secondary) { return {Trace{primary, secondary}}; }

        bool operator==(const Piece&) const = default;
    };

    // Pieces drawn left to right, centred in `width` points (the widest of the reserved styles).
    struct Layout {
        QList<Piece> pieces;
        double width = 0;
        bool operator==(const Layout&) const = default;
    };

    // The monospace system font: caption 8 pt medium, value 11 pt semibold, rates 9.5 pt medium.
    static const QFont& captionFont();
    static const QFont& valueFont();
    static const QFont& ratesFont();

    // Width of a text in a font, rounded up to a whole point. Cached for the process.
    static double measure(const QString& text, const QFont& font);
    // Advance of one character of a monospace font ("0"), not rounded. Cached per point size.
    static double advance(const QFont& font);

    // Piece widths, computed once.
    static double glyphWidth();
    static double stackedWidth();
    static double ratesWidth();
    static constexpr double traceWidth = 28;
    static constexpr double traceHeight = 16;
    static double width(const Piece& piece);
    // Space between a piece and the next one.
    static double gap(const Piece& left);

    static QList<Piece> pieces(MenuBarStyle style, const Inputs& inputs);
    // The grapheme clusters of a text: what a reader counts as characters.
    static QStringList characters(const QString& text);
    // The volume name cut to fit the caption slot, with "!" when low.
    static QString fitCaption(const QString& name, bool low);
    // Sum of piece widths and gaps, rounded up; 0 for no pieces.
    static double width(const QList<Piece>& pieces);
    static Layout layout(const Inputs& inputs);

    // ---- Drawing ----

    // Status bar thickness, points.
    static constexpr double barHeight = 22;

    // Colours for one appearance and scale: white label ink for "dark", black for "light" (and any
    // other name).
    struct Ink {
        QString key;  // "dark@2"
        QColor text;
        QColor caption;
        QColor baseline;
        QColor secondary;
        bool operator==(const Ink&) const = default;
    };

    struct GlyphKey {
        double fontSize = 0;  // points
        double alpha = 0;     // of the colour the glyph is drawn in
        QString character;    // one grapheme cluster
        bool operator==(const GlyphKey&) const = default;
    };

    // One character rasterised into premultiplied RGBA, row 0 at the top, with 2 pixels of padding
    // on the left and the baseline one ascender below the top.
    struct GlyphCell {
        struct Range {
            int lower = 0;
            int upper = 0;  // past the end
            bool isEmpty() const { return upper <= lower; }
            bool operator==(const Range&) const = default;
        };
        // Half-open bounding box of the pixels with non-zero alpha; both empty without ink.
        struct InkBox {
            Range columns;
            Range rows;
            bool operator==(const InkBox&) const = default;
        };

        std::vector<std::uint8_t> pixels;
        int width = 0;
        int height = 0;
        InkBox ink;
        bool operator==(const GlyphCell&) const = default;
    };

    class Canvas;

    // The image for a layout: max(⌈width⌉, 1) × barHeight points at `scale` pixels per point,
    // premultiplied RGBA. The image shares one of two pooled buffers (so the image shown before
    // stays intact while the next one is drawn); none when no buffer could be made.
    static std::optional<QImage> render(const Layout& layout, const QString& appearance, double scale);

    // The ink for an appearance and scale; a new one empties the glyph caches.
    static const Ink& ink(const QString& appearance, double scale);
    // The drive symbol tinted in the ink's text colour; none when the symbol is missing.
    static std::optional<QImage> glyphImage(bool badge, double scale, const Ink& ink);
    static std::optional<GlyphCell> rasterize(const QString& character, const QFont& font, const QColor& color,
                                              double advance, double scale);
    // Composes cached glyph cells into the image being rendered (nothing outside a render): the text
    // centred in a slot starting at x, top at y, by per-byte maximum, clipped to the image.
    static void drawText(const QString& text, double slotWidth, double x, double y, const QFont& font,
                         const QColor& color);

    // The process-wide glyph caches, for inspection.
    static const QHash<GlyphKey, GlyphCell>& glyphCells();
    static qsizetype glyphImageCount();
};

size_t qHash(const MenuBarRenderer::GlyphKey& key, size_t seed = 0) noexcept;

} // namespace mallowby
