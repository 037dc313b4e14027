#pragma once

class QQmlEngine;

namespace qor {

// Makes the Qor.Ui module (components, Theme, DisplayRules) importable in `engine`.
// The module is linked statically, without a plugin, so its types are registered here.
void registerUiModule(QQmlEngine &engine);

} // namespace qor
