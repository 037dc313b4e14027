#pragma once

// Shared by the PNG renderers.

#include "qml_host.h"

#include <QDir>

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

// NAME-VARIANT.png for each of the named items (all, or those in `only`) that `shoot` renders.
template<typename Items>
void renderAll(const QDir &out, const Items &items, const QStringList &only, int &failures,
               const std::function<std::optional<QImage>(const Variant &, int index)> &shoot)
{
    for (const int v : {0, 1, 2, 3}) {
        const bool dark = v & 2, glass = v & 1;
        const Variant variant{dark, glass, QStringLiteral("%1-%2").arg(dark ? "dark" : "light", glass ? "glass" : "solid"),
                              glass ? QColor(dark ? 0x2b3a4f : 0x9fb3c8) : QColor()};
        for (int i = 0; i < items.size(); ++i) {
            if (!only.isEmpty() && !only.contains(items.at(i).name))
                continue;
            const std::optional<QImage> shot = shoot(variant, i);
            failures += !shot;
            if (shot)
                save(*shot, out.filePath(items.at(i).name + '-' + variant.name + ".png"), failures);
        }
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
