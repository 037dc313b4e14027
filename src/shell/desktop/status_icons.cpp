#include "status_icons.h"

#include "ui/display_rules.h"
#include "ui/marks.h"
#include "ui/palette.h"
#include "ui/symbol_icon.h"

#include <QPainter>
#include <QSvgRenderer>

namespace qor::status_icons {

QImage tintedSymbol(const QString &symbol, const QColor &color, int pixels)
{
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QSvgRenderer renderer(symbolPath(symbol));
    if (!renderer.isValid())
        return image;
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    renderer.render(&p, QRectF(0, 0, pixels, pixels));
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(image.rect(), color);
    return image;
}

namespace {
// A light glyph over a dark rim of its own shape, a little inset.
QPixmap rimmedSymbol(const QString &symbol, int pixels)
{
    const int inset = std::max(1, pixels / 12);
    const int glyph = pixels - 2 * inset;
    const QImage rim = tintedSymbol(symbol, QColor(20, 24, 32, 200), glyph);
    const QImage face = tintedSymbol(symbol, QColor(242, 244, 247), glyph);
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    const int r = std::max(1, pixels / 22);
    for (int dx = -r; dx <= r; ++dx)
        for (int dy = -r; dy <= r; ++dy)
            if (dx || dy)
                p.drawImage(inset + dx, inset + dy, rim);
    p.drawImage(inset, inset, face);
    p.end();
    return QPixmap::fromImage(image);
}
} // namespace

QIcon trayIcon(const QString &symbol)
{
    QIcon fallback;
    for (const int size : {16, 22, 24, 32, 44, 48, 64})
        fallback.addPixmap(rimmedSymbol(symbol, size));
    QIcon icon = QIcon::fromTheme(QStringLiteral("qor-connect-") + symbol + QStringLiteral("-symbolic"), fallback);
    icon.setIsMask(true);
    return icon;
}

QIcon modeIcon(ConnectMode mode, bool dark)
{
    const QColor color = paletteColor(display::modeColor(mode), dark);
    QIcon icon;
    for (const int scale : {1, 2}) {
        const int pixels = 15 * scale;
        if (mode == ConnectMode::Tavrin) {
            QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            QPainter p(&image);
            p.setRenderHint(QPainter::Antialiasing);
            // The fan in the mode colour: the near-white of the orbit button would vanish in a light menu.
            marks::paintTavrinMark(&p, QRectF(0, 0, pixels, pixels), color, QColor(201, 100, 66));
            p.end();
            icon.addPixmap(QPixmap::fromImage(image));
            icon.addPixmap(QPixmap::fromImage(image), QIcon::Disabled);
        } else {
            const QPixmap pixmap = QPixmap::fromImage(tintedSymbol(display::modeSymbol(mode), color, pixels));
            icon.addPixmap(pixmap);
            // The header is a disabled item; its icon keeps the mode's colour.
            icon.addPixmap(pixmap, QIcon::Disabled);
        }
    }
    return icon;
}

} // namespace qor::status_icons
