#pragma once

#include "update_controller.h"

namespace qor {

// What the user sees of an update check they asked for: a dialog with the outcome (and
// the download page of a newer release). A background check is told by DesktopNotifier.
void presentUpdateOutcome(UpdateController::Outcome outcome, const appcast::Release &release, bool userInitiated);

} // namespace qor
