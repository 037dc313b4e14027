#pragma once

#include "account/subscription_catalog.h"

#include <QMetaType>
#include <QObject>
#include <QString>

namespace qor {
Q_NAMESPACE

// Enumerators are capitalised so QML can reach them; caseName() gives the
// lower-camel names used in trace lines and in qorctl's JSON.

enum class AuthStage { Idle, WaitingForTelegram, NoSubscription, LoggedIn };
Q_ENUM_NS(AuthStage)

// `Connected` carries its date in AppState::connectedSince.
enum class ConnectionState { Connected, Disconnected, Connecting, Disconnecting };
Q_ENUM_NS(ConnectionState)

enum class AppAppearance { System, Light, Dark };
Q_ENUM_NS(AppAppearance)

enum class ConnectMode { Auto, Main, Tavrin, Reserve };
Q_ENUM_NS(ConnectMode)

enum class CascadeMode { Standard, Tavrin };
Q_ENUM_NS(CascadeMode)

enum class TunnelSource { Main, Reserve };
Q_ENUM_NS(TunnelSource)

QString caseName(AuthStage value);
QString caseName(ConnectionState value);

QString rawText(AppAppearance value);
QString rawText(ConnectMode value);
QString rawText(CascadeMode value);
QString rawText(TunnelSource value);

// Stored texts back to values; unknown texts give nothing, the caller picks the default.
std::optional<AppAppearance> appearanceFromRaw(const QString &text);
std::optional<ConnectMode> connectModeFromRaw(const QString &text);
std::optional<CascadeMode> cascadeModeFromRaw(const QString &text);

// What the next or current connection goes to. Equality compares the node
// payload (endpoint and configuration) for `Node`.
class ConnectionTarget {
    Q_GADGET
    Q_PROPERTY(Kind kind READ kind CONSTANT)
    Q_PROPERTY(QString endpoint READ endpoint CONSTANT)
    Q_PROPERTY(QString name READ name CONSTANT)
public:
    enum class Kind { Node, Balancer, Reserve };
    Q_ENUM(Kind)

    ConnectionTarget() = default;
    static ConnectionTarget balancer() { return ConnectionTarget(Kind::Balancer, {}); }
    static ConnectionTarget reserve() { return ConnectionTarget(Kind::Reserve, {}); }
    static ConnectionTarget node(DirectNode node) { return ConnectionTarget(Kind::Node, std::move(node)); }

    Kind kind() const { return m_kind; }
    bool isNode() const { return m_kind == Kind::Node; }
    const DirectNode &directNode() const { return m_node; }
    QString endpoint() const { return m_node.endpoint; }

    // "Qor AI Network", "Резерв", or the node display label.
    QString name() const;

    bool operator==(const ConnectionTarget &other) const = default;

private:
    ConnectionTarget(Kind kind, DirectNode node)
        : m_kind(kind), m_node(std::move(node)) {}
    Kind m_kind = Kind::Balancer;
    DirectNode m_node;
};

// Time connected as "HH:MM:SS", or "Nд HH:MM:SS" from one day on.
QString formatConnectedDuration(qint64 seconds);

} // namespace qor

Q_DECLARE_METATYPE(qor::ConnectionTarget)
