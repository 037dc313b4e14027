#pragma once

#include "update_controller.h"

class QSystemTrayIcon;

namespace qor {

// What the user sees of an update check: for a check they asked for, a dialog with
// the outcome (and the download page of a newer release); for a background check,
// a notification of the status-bar item when a newer release exists.
void presentUpdateOutcome(UpdateController::Outcome outcome, const appcast::Release &release, bool userInitiated,
                          QSystemTrayIcon *statusItem);

} // namespace qor
