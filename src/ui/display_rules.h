#pragma once

#include "core/app_types.h"
#include "core/display_texts.h"
#include "palette.h"

#include <QDateTime>
#include <QString>
#include <QVariant>

#include <optional>

// The rules that turn application state into the texts, colours and levels the
// screens and the status-bar menu show (the texts qorctl shows too are in
// core/display_texts.h). Pure functions over plain values, so the
// screens stay free of logic and the rules can be tested one by one.
namespace qor::display {

// --- Connect screen ---------------------------------------------------------

PaletteRole modeColor(ConnectMode mode);
// A direct node → node purple, the reserve → reserve red, otherwise the mode's colour.
PaletteRole accentColor(TargetKind target, ConnectMode mode);
// The reserve is the target and the tunnel is up or coming up.
bool reserveActive(TargetKind target, ConnectionState state);
QString globeAccessibilityLabel(bool active);
PaletteRole healthColor(HealthLevel level);
QString networkStatusLabel(bool refreshing);
QString statusRefreshToast(bool refreshed);
// "версия 1.4 (27)"; a missing or non-text value reads "—".
QString versionText(const QVariant &shortVersion, const QVariant &bundleVersion);

// --- Network and nodes panel -----------------------------------------------

PaletteRole latencyColor(std::optional<quint64> milliseconds);

// --- Profile panel ----------------------------------------------------------

PaletteRole subscriptionStatusColor(std::optional<bool> isActive);
QString deleteButtonTitle(bool deleting);

// --- Status-bar item and menu ----------------------------------------------

// The icon file name (without extension) of the status-bar item.
QString trayIconName(ConnectionState state, TargetKind target);
QString modeName(ConnectMode mode);
// The symbol shown for a mode; empty for `tavrin`, whose mark is drawn.
QString modeSymbol(ConnectMode mode);
// `state` absent: the application state is gone.
QString menuHeaderTitle(std::optional<ConnectionState> state, ConnectMode mode);
QString menuTimeLine(const QString &durationText);
QString menuSpeedLine(const QString &download, const QString &upload);
QString menuTrafficLine(const QString &download, const QString &upload);
QString connectItemTitle(std::optional<ConnectionState> state);
// The reserve is the target and the state is anything but disconnected.
bool reserveOn(TargetKind target, ConnectionState state);
QString reserveItemTitle(bool reserveOn);
bool connectionItemsEnabled(std::optional<ConnectionState> state);

// --- Sign-in ----------------------------------------------------------------

bool canRequestCode(const QString &email, bool busy);
bool canVerifyCode(const QString &code, bool busy);

} // namespace qor::display
