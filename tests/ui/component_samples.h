#pragma once

// Each Qor.Ui component in a few representative states, shared with the PNG renderer.

#include <QList>
#include <QSize>
#include <QString>

namespace qor::samples {

struct Sample {
    QString name;
    QSize size;
    QString qml; // a complete QML document whose root is an Item of `size`
};

inline QString document(const QString &body, QSize size)
{
    return QStringLiteral("import QtQuick\nimport Qor.Ui\nItem {\n    width: %1; height: %2\n%3\n}\n").arg(size.width()).arg(size.height()).arg(body);
}

inline QList<Sample> all()
{
    QList<Sample> list;
    const auto add = [&list](const char *name, QSize size, const char *body) {
        list.append({QString::fromLatin1(name), size, document(QString::fromUtf8(body), size)});
    };

    add("ScreenSurface", {200, 80}, R"(
    ScreenSurface { anchors.fill: parent }
    Text { anchors.centerIn: parent; text: "Qor"; color: Theme.ink })");

    add("QorPanel", {380, 300}, R"(
    QorPanel {
        objectName: "panel"
        x: 20; y: 12; width: 340; height: 270
        title: "Аккаунт"
        scrollsContent: true
        StatRow { width: parent.width; k: "Статус"; v: "● Активна"; vColor: Theme.okGreen }
        Repeater {
            model: [["Действует до", "5 января 2026", true], ["Трафик", "без ограничений", true], ["Использовано", "12 ГБ", true],
                    ["Последний сервер", "Qor AI Network", false], ["Резервный канал", "не выдан", false]]
            StatRow { required property var modelData; width: parent.width; k: modelData[0]; v: modelData[1]; mono: modelData[2] }
        }
    })");

    add("QorFieldStyle", {300, 120}, R"(
    Column {
        x: 20; y: 12; spacing: 10
        QorFieldStyle { objectName: "emptyField"; width: 260; placeholderText: "name@example.com" }
        QorFieldStyle { width: 260; text: "user@example.org" }
    })");

    add("ButtonStyles", {300, 190}, R"(
    Column {
        x: 20; y: 12; spacing: 10
        PrimaryButtonStyle { width: 260; text: "Войти через Telegram"; symbol: "paperplane.fill" }
        SecondaryButtonStyle { width: 260; text: "Войти через email"; symbol: "envelope.fill" }
        Row {
            spacing: 10
            PrimaryButtonStyle { width: 125; text: "Получить код"; busy: true }
            SecondaryButtonStyle { width: 125; text: "Недоступно"; enabled: false }
        }
    })");

    add("StatRow", {320, 110}, R"(
    Column {
        x: 20; y: 8; width: 280
        StatRow { width: parent.width; k: "Статус"; v: "● Неактивна"; vColor: Theme.dangerRed }
        StatRow { width: parent.width; k: "Действует до"; v: "—"; vColor: Theme.ink; mono: true }
        StatRow { width: parent.width; k: "Статус"; v: "—"; vColor: Theme.neutralGrey }
    })");

    add("BrandLogo", {320, 90}, R"(BrandLogo { x: 16; y: 13; height: 64 })");

    add("QorLogo", {180, 80}, R"(
    Row {
        x: 16; y: 8; spacing: 16
        Repeater { model: [64, 32, 16]; QorLogo { required property int modelData; width: modelData; height: modelData; color: Theme.ink; accent: Theme.terracotta } }
    })");

    add("TavrinMark", {200, 80}, R"(
    Row {
        x: 16; y: 8; spacing: 16
        Rectangle { width: 64; height: 64; radius: 32; color: Theme.tavrinBlue
            TavrinMark { anchors.centerIn: parent; width: 40; height: 40 } }
        Rectangle { width: 64; height: 64; radius: 32; color: Theme.panel
            TavrinMark { anchors.centerIn: parent; width: 40; height: 40 } }
        TavrinMark { width: 15; height: 15; fan: Theme.ink; tail: Theme.terracotta }
    })");

    add("GlobeButton", {640, 230}, R"(
    ScreenSurface { anchors.fill: parent }
    Row {
        x: 10; y: 20; spacing: 20
        GlobeButton { color: Theme.autoAmber; reduceMotion: true }
        GlobeButton { color: Theme.mainGreen; isPending: true; reduceMotion: true }
        GlobeButton { color: Theme.nodePurple; isActive: true; reduceMotion: true }
    })");

    add("GlobeCanvasWide", {300, 160},
        R"(GlobeCanvas { anchors.fill: parent; color: Theme.tavrinBlue; outlineColor: Theme.outline; reduceMotion: true })");

    add("ModeOrbitButton", {310, 150}, R"(
    ScreenSurface { anchors.fill: parent }
    Grid {
        x: 12; y: 12; columns: 4; spacing: 18
        Repeater { model: 8; ModeOrbitButton { required property int index; mode: index % 4; color: Theme.modeColor(index % 4); selected: index < 4 } }
    })");

    add("DirectOrbitButton", {170, 80}, R"(
    ScreenSurface { anchors.fill: parent }
    Row {
        x: 14; y: 14; spacing: 18
        DirectOrbitButton { selected: true }
        DirectOrbitButton { selected: false }
    })");

    add("ReserveIconButton", {220, 60}, R"(
    ScreenSurface { anchors.fill: parent }
    Row {
        x: 14; y: 14; spacing: 24
        ReserveIconButton { reduceMotion: true }
        ReserveIconButton { isActive: true; reduceMotion: true }
        ReserveIconButton { isDenied: true; reduceMotion: true }
        ReserveIconButton { isActive: true; reduceMotion: true; pulsed: true }
    })");

    add("Symbols", {450, 80}, R"(
    Grid {
        id: grid; x: 12; y: 12; columns: 14; spacing: 6
        readonly property var names: ["globe", "globe.americas.fill", "globe.badge.chevron.backward", "exclamationmark.shield.fill",
            "checkmark.shield.fill", "checkmark.circle.fill", "checkmark", "xmark", "sparkles", "server.rack", "person.fill",
            "paperplane.fill", "envelope.fill", "cross.case.fill"]
        Repeater { model: grid.names; SymbolIcon { required property string modelData; width: 24; height: 24; name: modelData; color: Theme.ink } }
        Repeater { model: grid.names; SymbolIcon { required property string modelData; width: 16; height: 16; name: modelData; color: Theme.terracotta } }
    })");

    add("QorSwitch", {140, 50}, R"(
    Row {
        x: 16; y: 14; spacing: 16
        QorSwitch {}
        QorSwitch { checked: true }
        QorSwitch { checked: true; enabled: false }
    })");

    return list;
}

} // namespace qor::samples
