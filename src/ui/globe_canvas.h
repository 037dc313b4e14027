#pragma once

#include <QColor>
#include <QPointer>
#include <QQuickPaintedItem>
#include <QTimer>
#include <QtQml/qqmlregistration.h>

class QQuickWindow;

namespace qor {

// The turning wire globe with its cities and travelling arcs. Repaints on a frame
// timer that runs only while the item is visible in an exposed window and motion is
// not reduced; with reduced motion it shows the still frame of t = 3.2 s.
class GlobeCanvas : public QQuickPaintedItem {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY colorChanged)
    Q_PROPERTY(QColor outlineColor READ outlineColor WRITE setOutlineColor NOTIFY outlineColorChanged)
    Q_PROPERTY(bool reduceMotion READ reduceMotion WRITE setReduceMotion NOTIFY reduceMotionChanged)
    Q_PROPERTY(int frameInterval READ frameInterval WRITE setFrameInterval NOTIFY frameIntervalChanged)
    Q_PROPERTY(bool animating READ animating NOTIFY animatingChanged)

public:
    explicit GlobeCanvas(QQuickItem *parent = nullptr);

    QColor color() const { return m_color; }
    void setColor(const QColor &value);
    QColor outlineColor() const { return m_outlineColor; }
    void setOutlineColor(const QColor &value);
    bool reduceMotion() const { return m_reduceMotion; }
    void setReduceMotion(bool value);
    int frameInterval() const { return m_timer.interval(); }
    void setFrameInterval(int milliseconds);
    bool animating() const { return m_timer.isActive(); }
    // Frames painted so far (for tests and measurements).
    int paintedFrames() const { return m_paintedFrames; }

    void paint(QPainter *painter) override;

Q_SIGNALS:
    void colorChanged();
    void outlineColorChanged();
    void reduceMotionChanged();
    void frameIntervalChanged();
    void animatingChanged();

protected:
    void itemChange(ItemChange change, const ItemChangeData &data) override;
    void geometryChange(const QRectF &newGeometry, const QRectF &oldGeometry) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void watchWindow(QQuickWindow *window);
    void updateAnimation();

    QColor m_color = QColor(224, 138, 30);
    QColor m_outlineColor = QColor(22, 35, 58, 71);
    bool m_reduceMotion = false;
    QTimer m_timer;
    QPointer<QQuickWindow> m_window;
    int m_paintedFrames = 0;
};

} // namespace qor
