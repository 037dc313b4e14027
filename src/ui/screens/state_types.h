#pragma once

#include "core/app_state.h"
#include "core/app_types.h"

#include <QObject>
#include <QPointer>
#include <QtQml/qqml.h>

class QQmlEngine;
class QJSEngine;

namespace qor {

// The application state as the QML singleton `AppState`. The composition root hands
// its one instance over with provide() before loading QML; it is never owned by QML.
// What the screens need beyond its properties is `AppStateView`.
struct AppStateForeign {
    Q_GADGET
    QML_FOREIGN(qor::AppState)
    QML_NAMED_ELEMENT(AppState)
    QML_SINGLETON

public:
    static AppState *create(QQmlEngine *qmlEngine, QJSEngine *jsEngine);
    static void provide(AppState *state);
    static AppState *provided();
};

// The target as a value type, so `AppState.target.kind`, `.name` and `.endpoint` read.
struct ConnectionTargetForeign {
    Q_GADGET
    QML_FOREIGN(qor::ConnectionTarget)
    QML_VALUE_TYPE(connectionTarget)
};

// The kinds of target as `ConnectionTarget.Balancer`, `.Node` and `.Reserve`.
namespace ConnectionTargetKindForeign {
Q_NAMESPACE
QML_FOREIGN_NAMESPACE(qor::ConnectionTarget)
QML_NAMED_ELEMENT(ConnectionTarget)
} // namespace ConnectionTargetKindForeign

// The enumerations of the state model as `Qor.ConnectionState.Connected` and so on.
// Scoped only: the enumerations share value names (Main, Tavrin, Reserve).
namespace StateEnums {
Q_NAMESPACE
Q_CLASSINFO("RegisterEnumClassesUnscoped", "false")
QML_NAMED_ELEMENT(Qor)
QML_NAMESPACE_EXTENDED(qor)
} // namespace StateEnums

} // namespace qor
