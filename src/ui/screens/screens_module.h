#pragma once

class QQmlEngine;

namespace qor {

class AppState;
class EmailLoginService;
class Theme;

// Makes Qor.Screens (and the Qor.Ui it builds on) importable in `engine`. The
// module is linked statically, without a plugin, so its types are registered here.
void registerScreensModule(QQmlEngine &engine);

// The objects the screens work with, handed over by the composition root before
// the first screen loads (not owned; null withdraws them).
void provideScreenServices(AppState *state, EmailLoginService *emailLogin);

// Keeps the theme's appearance and glass switch in step with the state's settings.
void bindThemeToState(Theme &theme, AppState &state);

} // namespace qor
