#pragma once

#include "account/subscription_catalog.h"

#include <QAbstractListModel>
#include <QPointer>
#include <QtQml/qqmlregistration.h>

namespace qor {

class AppState;

// The direct nodes as the network panel lists them: measured nodes first, fastest
// first, the others in subscription order; with the count line and the network
// health level that the panel and the connect screen's status row show. Follows
// the application state's node list, latencies, target and subscription.
class NodeListModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(int nodeCount READ nodeCount NOTIFY changed)
    Q_PROPERTY(int measuredCount READ measuredCount NOTIFY changed)
    Q_PROPERTY(QString countLine READ countLine NOTIFY changed)
    Q_PROPERTY(int healthLevel READ healthLevel NOTIFY changed)
    // The PaletteRole of the health level's dot.
    Q_PROPERTY(int healthColor READ healthColor NOTIFY changed)
    Q_PROPERTY(bool balancerSelected READ balancerSelected NOTIFY changed)

public:
    enum Role { LabelRole = Qt::UserRole + 1, EndpointRole, LatencyTextRole, LatencyColorRole, SelectedRole };

    explicit NodeListModel(QObject *parent = nullptr);
    // Over a given state (tests); the default constructor takes the provided one.
    explicit NodeListModel(AppState *state, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    int nodeCount() const;
    int measuredCount() const;
    QString countLine() const;
    int healthLevel() const;
    int healthColor() const;
    bool balancerSelected() const;

Q_SIGNALS:
    void changed();

private:
    void reload();

    QPointer<AppState> m_state;
    QList<DirectNode> m_rows;
};

} // namespace qor
