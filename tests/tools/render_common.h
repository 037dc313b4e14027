#pragma once

// What the PNG renderers share: the output folder from the command line, the four
// variants, the contact sheet of a variant and the closing report.

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

inline QList<Variant> variants()
{
    QList<Variant> list;
    for (const bool dark : {false, true}) {
        for (const bool glass : {false, true})
            list.append({dark, glass, QStringLiteral("%1-%2").arg(dark ? "dark" : "light", glass ? "glass" : "solid"),
                         glass ? QColor(dark ? 0x2b3a4f : 0x9fb3c8) : QColor()});
    }
    return list;
}

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

// The shots `columns` to a row, each under its name.
inline void saveSheet(const QList<QPair<QString, QImage>> &shots, int columns, bool dark, const QString &file, int &failures)
{
    QSize cell;
    for (const auto &shot : shots)
        cell = cell.expandedTo(shot.second.size() + QSize(10, 30));
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
    save(sheet, file, failures);
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
