#include "state_types.h"

#include <QQmlEngine>

namespace qor {

namespace {
QPointer<AppState> &providedState()
{
    static QPointer<AppState> state;
    return state;
}
} // namespace

AppState *AppStateForeign::create(QQmlEngine *, QJSEngine *)
{
    AppState *state = providedState();
    if (!state) {
        qCritical("Qor.Screens: AppState used before the composition root provided it");
        return nullptr;
    }
    QQmlEngine::setObjectOwnership(state, QQmlEngine::CppOwnership);
    return state;
}

void AppStateForeign::provide(AppState *state)
{
    providedState() = state;
}

AppState *AppStateForeign::provided()
{
    return providedState();
}

} // namespace qor
