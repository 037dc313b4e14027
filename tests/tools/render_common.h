#pragma once

// What the PNG renderers share: the output folder from the command line, the four
// variants, one picture per item and variant with a contact sheet per variant, and
// the closing report.

#include "qml_host.h"

#include <QDir>
#include <QFont>
#include <QPainter>

#include <cstdio>
#include <optional>

namespace qor::render {

struct Variant {
    bool dark;
    bool glass;
    QString name;  // "light-solid" …
    QColor behind; // with glass the window is translucent: a desktop-like colour shows it
};

// The first argument, created; absent (with a message) when missing or impossible.
inline std::optional<QDir> outputFolder(const QStringList &args, const char *usage)
{
    if (!args.isEmpty() && QDir().mkpath(args.first()))
        return QDir(args.first());
    std::fprintf(stderr, args.isEmpty() ? "usage: %s\n" : "cannot create the folder\n", usage);
    return std::nullopt;
}

inline void save(const QImage &image, const QString &file, int &failures)
{
    if (!image.save(file)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
        ++failures;
    }
}

// NAME-VARIANT.png for each named item (all, or those in `only`) that `shoot` renders,
// and sheet-VARIANT.png with them `columns` to a row, each under its name.
inline void renderAll(const QDir &out, const QStringList &names, const QStringList &only, int columns, int &failures,
                      const std::function<std::optional<QImage>(const Variant &, int index)> &shoot)
{
    for (const int v : {0, 1, 2, 3}) {
        const bool dark = v & 2, glass = v & 1;
        const Variant variant{dark, glass, QStringLiteral("%1-%2").arg(dark ? "dark" : "light", glass ? "glass" : "solid"),
                              glass ? QColor(dark ? 0x2b3a4f : 0x9fb3c8) : QColor()};
        QList<QPair<QString, QImage>> shots;
        QSize cell;
        for (int i = 0; i < names.size(); ++i) {
            if (!only.isEmpty() && !only.contains(names.at(i)))
                continue;
            const std::optional<QImage> shot = shoot(variant, i);
            failures += !shot;
            if (!shot)
                continue;
            shots.append({names.at(i), *shot});
            cell = cell.expandedTo(shot->size() + QSize(10, 30));
            save(*shot, out.filePath(names.at(i) + '-' + variant.name + ".png"), failures);
        }
        if (shots.isEmpty())
            continue;
        QImage sheet(columns * cell.width() + 10, int((shots.size() + columns - 1) / columns) * cell.height() + 10, QImage::Format_ARGB32);
        sheet.fill(QColor(dark ? 0x202020 : 0xdddddd));
        QPainter p(&sheet);
        QFont font;
        font.setPixelSize(14);
        p.setFont(font);
        p.setPen(dark ? Qt::white : Qt::black);
        for (int i = 0; i < shots.size(); ++i) {
            const QPoint at(10 + (i % columns) * cell.width(), 10 + (i / columns) * cell.height());
            p.drawText(at + QPoint(0, 15), shots.at(i).first);
            p.drawImage(at + QPoint(0, 22), shots.at(i).second);
        }
        p.end();
        save(sheet, out.filePath("sheet-" + variant.name + ".png"), failures);
    }
}

// Reports the warnings logged (each a failure) and returns the exit status.
inline int finish(const QDir &out, int failures)
{
    const QStringList warnings = testing::WarningLog::take();
    for (const QString &warning : warnings)
        std::fprintf(stderr, "warning: %s\n", qPrintable(warning));
    failures += int(warnings.size());
    std::printf("rendered to %s, %d failure(s)\n", qPrintable(out.path()), failures);
    return failures == 0 ? 0 : 1;
}

} // namespace qor::render
