#include "node_list_model.h"

#include "state_types.h"

#include "ui/display_rules.h"

namespace qor {

NodeListModel::NodeListModel(QObject *parent)
    : NodeListModel(AppStateForeign::provided(), parent)
{
}

NodeListModel::NodeListModel(AppState *state, QObject *parent)
    : QAbstractListModel(parent), m_state(state)
{
    if (m_state) {
        connect(m_state, &AppState::directNodesChanged, this, &NodeListModel::reload);
        connect(m_state, &AppState::nodeLatencyChanged, this, &NodeListModel::reload);
        // A new target only moves the check mark: the rows stay (a row may be the
        // very delegate whose press changed the target).
        connect(m_state, &AppState::targetChanged, this, [this] {
            if (!m_rows.isEmpty())
                Q_EMIT dataChanged(index(0), index(int(m_rows.size()) - 1), {SelectedRole});
            Q_EMIT changed();
        });
        connect(m_state, &AppState::subscriptionChanged, this, &NodeListModel::changed);
    }
    reload();
}

void NodeListModel::reload()
{
    beginResetModel();
    m_rows = m_state ? m_state->nodesByLatency() : QList<DirectNode>();
    endResetModel();
    Q_EMIT changed();
}

int NodeListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant NodeListModel::data(const QModelIndex &index, int role) const
{
    if (!m_state || !index.isValid() || index.row() >= m_rows.size())
        return {};
    const DirectNode &node = m_rows.at(index.row());
    const auto latency = [&]() -> std::optional<quint64> {
        const auto it = m_state->nodeLatency().constFind(node.endpoint);
        if (it == m_state->nodeLatency().cend())
            return std::nullopt;
        return *it;
    };
    switch (role) {
    case LabelRole: return SubscriptionCatalog::nodeDisplayLabel(node.endpoint);
    case EndpointRole: return node.endpoint;
    case LatencyTextRole: return display::latencyText(latency());
    case LatencyColorRole: return int(display::latencyColor(latency()));
    case SelectedRole: return m_state->target().isNode() && m_state->target().endpoint() == node.endpoint;
    default: return {};
    }
}

QHash<int, QByteArray> NodeListModel::roleNames() const
{
    return {{LabelRole, "label"},
            {EndpointRole, "endpoint"},
            {LatencyTextRole, "latencyText"},
            {LatencyColorRole, "latencyColor"},
            {SelectedRole, "selected"}};
}

int NodeListModel::nodeCount() const
{
    return int(m_rows.size());
}

int NodeListModel::measuredCount() const
{
    return m_state ? m_state->measuredNodeCount() : 0;
}

QString NodeListModel::countLine() const
{
    return display::countLine(measuredCount(), nodeCount());
}

int NodeListModel::healthLevel() const
{
    const std::optional<bool> active = m_state ? m_state->subscription().isActive : std::nullopt;
    return int(display::networkHealthLevel(active, nodeCount(), measuredCount()));
}

int NodeListModel::healthColor() const
{
    return int(display::healthColor(display::HealthLevel(healthLevel())));
}

bool NodeListModel::balancerSelected() const
{
    return m_state && m_state->target().kind() == ConnectionTarget::Kind::Balancer;
}

} // namespace qor
