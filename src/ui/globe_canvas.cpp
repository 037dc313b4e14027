#include "globe_canvas.h"

#include "globe_geometry.h"

#include <QPainter>
#include <QPainterPath>
#include <QQuickWindow>

namespace qor {

namespace {
QColor faded(QColor c, qreal opacity)
{
    c.setAlphaF(c.alphaF() * opacity);
    return c;
}
} // namespace

GlobeCanvas::GlobeCanvas(QQuickItem *parent)
    : QQuickPaintedItem(parent)
{
    setAntialiasing(true);
    m_timer.setInterval(16);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] { update(); });
}

void GlobeCanvas::setColor(const QColor &value)
{
    if (m_color == value)
        return;
    m_color = value;
    Q_EMIT colorChanged();
    update();
}

void GlobeCanvas::setOutlineColor(const QColor &value)
{
    if (m_outlineColor == value)
        return;
    m_outlineColor = value;
    Q_EMIT outlineColorChanged();
    update();
}

void GlobeCanvas::setReduceMotion(bool value)
{
    if (m_reduceMotion == value)
        return;
    m_reduceMotion = value;
    Q_EMIT reduceMotionChanged();
    updateAnimation();
    update();
}

void GlobeCanvas::setFrameInterval(int milliseconds)
{
    milliseconds = std::max(1, milliseconds);
    if (m_timer.interval() == milliseconds)
        return;
    m_timer.setInterval(milliseconds);
    Q_EMIT frameIntervalChanged();
}

void GlobeCanvas::itemChange(ItemChange change, const ItemChangeData &data)
{
    QQuickPaintedItem::itemChange(change, data);
    if (change == ItemSceneChange)
        watchWindow(data.window);
    if (change == ItemSceneChange || change == ItemVisibleHasChanged)
        updateAnimation();
}

void GlobeCanvas::geometryChange(const QRectF &newGeometry, const QRectF &oldGeometry)
{
    QQuickPaintedItem::geometryChange(newGeometry, oldGeometry);
    updateAnimation();
}

void GlobeCanvas::watchWindow(QQuickWindow *window)
{
    if (m_window == window)
        return;
    if (m_window) {
        m_window->removeEventFilter(this);
        disconnect(m_window, nullptr, this, nullptr);
    }
    m_window = window;
    if (m_window) {
        // Exposure has no signal of its own: a minimised or covered-up window only
        // tells through its expose events.
        m_window->installEventFilter(this);
        connect(m_window, &QWindow::visibleChanged, this, &GlobeCanvas::updateAnimation);
        connect(m_window, &QWindow::visibilityChanged, this, &GlobeCanvas::updateAnimation);
    }
}

bool GlobeCanvas::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_window) {
        switch (event->type()) {
        case QEvent::Expose:
        case QEvent::Show:
        case QEvent::Hide:
            // Evaluated once the window has taken the event in.
            QMetaObject::invokeMethod(this, &GlobeCanvas::updateAnimation, Qt::QueuedConnection);
            break;
        default:
            break;
        }
    }
    return QQuickPaintedItem::eventFilter(watched, event);
}

void GlobeCanvas::updateAnimation()
{
    const bool run = !m_reduceMotion && isVisible() && width() > 0 && height() > 0
        && m_window && m_window->isVisible() && m_window->isExposed()
        && m_window->visibility() != QWindow::Minimized;
    if (run == m_timer.isActive())
        return;
    if (run) {
        m_timer.start();
        update();
    } else {
        m_timer.stop();
    }
    Q_EMIT animatingChanged();
}

void GlobeCanvas::paint(QPainter *painter)
{
    ++m_paintedFrames;
    const double t = m_reduceMotion ? globe::reducedMotionTime : globe::timeNow();
    const globe::Frame frame = globe::frameAt(size(), t);
    painter->setRenderHint(QPainter::Antialiasing);

    const QPen frontPen(faded(m_color, 0.5), 1.0);
    const QPen backPen(faded(m_color, 0.12), 1.0);
    for (const globe::Run &run : frame.runs) {
        painter->setPen(run.front ? frontPen : backPen);
        painter->drawPolyline(run.points.constData(), int(run.points.size()));
    }

    painter->setPen(QPen(faded(m_outlineColor, 0.45), 1.0));
    painter->setBrush(Qt::NoBrush);
    painter->drawEllipse(frame.centre, frame.radius, frame.radius);

    const QPen arcPen(faded(m_color, 0.3), 1.0);
    for (const globe::ArcPath &arc : frame.arcs) {
        painter->setPen(arcPen);
        painter->setBrush(Qt::NoBrush);
        painter->drawPolyline(arc.points.constData(), int(arc.points.size()));
        painter->setPen(Qt::NoPen);
        painter->setBrush(m_color);
        painter->drawEllipse(arc.dot, 3.0, 3.0);
    }

    painter->setPen(Qt::NoPen);
    const QBrush backCity(faded(m_outlineColor, 0.35));
    for (const globe::CityMark &city : frame.cities) {
        if (city.front) {
            painter->setBrush(m_color);
            painter->drawEllipse(city.position, 3.0, 3.0);
        } else {
            painter->setBrush(backCity);
            painter->drawEllipse(city.position, 2.0, 2.0);
        }
    }
}

} // namespace qor
