// qor-icon-render OUT_DIR — writes the icons a desktop installs with the program,
// in the hicolor layout under OUT_DIR: the application icon (the Qor mark on a
// rounded square) as SVG and PNGs, and the status-bar symbols as symbolic SVGs.
// Run at build time (QT_QPA_PLATFORM=offscreen).

#include "ui/marks.h"
#include "ui/symbol_icon.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QSvgGenerator>

#include <cstdio>

namespace {

void paintAppIcon(QPainter &p, qreal size)
{
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF tile(size * 0.04, size * 0.04, size * 0.92, size * 0.92);
    QPainterPath rounded;
    rounded.addRoundedRect(tile, size * 0.2, size * 0.2);
    QLinearGradient fill(tile.topLeft(), tile.bottomRight());
    fill.setColorAt(0, QColor(23, 35, 58));
    fill.setColorAt(1, QColor(10, 18, 29));
    p.fillPath(rounded, fill);
    qor::marks::paintQorLogo(&p, tile.adjusted(size * 0.14, size * 0.14, -size * 0.1, -size * 0.1), QColor(233, 236, 242),
                             QColor(224, 130, 88));
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: qor-icon-render OUT_DIR\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    int failures = 0;

    // The application icon.
    const QString scalable = out.filePath(QStringLiteral("scalable/apps/qor-connect.svg"));
    QDir().mkpath(QFileInfo(scalable).absolutePath());
    {
        QSvgGenerator svg;
        svg.setFileName(scalable);
        svg.setSize(QSize(256, 256));
        svg.setViewBox(QRect(0, 0, 256, 256));
        svg.setTitle(QStringLiteral("Qor Connect"));
        QPainter p(&svg);
        paintAppIcon(p, 256);
    }
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256, 512}) {
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter p(&image);
        paintAppIcon(p, size);
        p.end();
        const QString path = out.filePath(QStringLiteral("%1x%1/apps/qor-connect.png").arg(size));
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (!image.save(path))
            ++failures;
    }

    // The status-bar symbols, in the grey of symbolic icons: a desktop that tints
    // symbolic icons gives them its panel's colour, any other shows a grey that
    // reads on light and dark panels.
    for (const char *symbol : {"globe", "globe.badge.chevron.backward", "globe.americas.fill", "exclamationmark.shield.fill"}) {
        QFile source(qor::symbolPath(QString::fromLatin1(symbol)));
        if (!source.open(QIODevice::ReadOnly)) {
            ++failures;
            continue;
        }
        QByteArray svg = source.readAll();
        svg.replace("\"#000\"", "\"#bebebe\"").replace("\"#000000\"", "\"#bebebe\"");
        const QString path = out.filePath(QStringLiteral("scalable/status/qor-connect-%1-symbolic.svg").arg(QString::fromLatin1(symbol)));
        if (!writeFile(path, svg))
            ++failures;
    }
    if (failures)
        std::fprintf(stderr, "qor-icon-render: %d file(s) not written\n", failures);
    return failures ? 1 : 0;
}
