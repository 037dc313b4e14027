#include "state_texts.h"

#include "core/app_state.h"

namespace qor::state_texts {

QString statusTitle(const AppState &app)
{
    return display::statusTitle(app.connectionProgress(), app.connectionState(), app.target().kind(), app.target().name())
        .value_or(QString());
}

std::optional<QString> statusSubtitle(const AppState &app)
{
    return display::statusSubtitle(app.connectionState(), app.connectMode(), app.target().kind());
}

int networkHealthLevel(const AppState &app)
{
    return int(display::networkHealthLevel(app.subscription().isActive, int(app.directNodes().size()), app.measuredNodeCount()));
}

QString nodeCountLine(const AppState &app)
{
    return display::countLine(app.measuredNodeCount(), int(app.directNodes().size()));
}

QString accountName(const AppState &app)
{
    return display::nameLine(app.corporate() ? app.corporate()->company : std::nullopt, app.telegramUsername());
}

} // namespace qor::state_texts
