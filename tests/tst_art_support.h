#pragma once
// Helpers shared by the picture, animated-widget and page tests.

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QTimerEvent>
#include <QWidget>

namespace art {

const QColor kTeal(17, 180, 183);

// The id of the one timer an animated widget runs, 0 when none runs.
inline int runningTimer(QObject* object) {
    const auto timers = QAbstractEventDispatcher::instance()->registeredTimers(object);
    return timers.size() == 1 ? timers.first().timerId : 0;
}

inline int runningInterval(QObject* object) {
    const auto timers = QAbstractEventDispatcher::instance()->registeredTimers(object);
    return timers.size() == 1 ? timers.first().interval : -1;
}

// Delivers ticks without going back to the event loop, so the real timer cannot
// race the frames checked between them. False when no timer was running.
inline bool tick(QObject* object, int count = 1) {
    for (int i = 0; i < count; ++i) {
        const int id = runningTimer(object);
        if (!id)
            return false;
        QTimerEvent event(id);
        QCoreApplication::sendEvent(object, &event);
    }
    return true;
}

// What the widget itself paints, over nothing: no window background is drawn.
inline QImage paintedAlone(QWidget* widget) {
    QImage image(widget->size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    widget->render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
    return image.convertToFormat(QImage::Format_ARGB32);
}

inline bool near(QRgb actual, const QColor& expected, int tolerance = 3) {
    return qAbs(qRed(actual) - expected.red()) <= tolerance &&
           qAbs(qGreen(actual) - expected.green()) <= tolerance &&
           qAbs(qBlue(actual) - expected.blue()) <= tolerance &&
           qAbs(qAlpha(actual) - expected.alpha()) <= tolerance;
}

inline QString describe(QRgb c) {
    return QStringLiteral("rgba(%1,%2,%3,%4)").arg(qRed(c)).arg(qGreen(c)).arg(qBlue(c)).arg(qAlpha(c));
}

// Pictures drawn over each other the way the frame sequence does.
inline QImage composed(const QString& bottom, const QString& over, double overOpacity = 1.0) {
    QImage image(801, 601, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.drawImage(0, 0, QImage(bottom));
    painter.setOpacity(overOpacity);
    painter.drawImage(0, 0, QImage(over));
    painter.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

// Largest channel difference between two pictures over a rectangle.
inline int maxDifference(const QImage& a, const QImage& b, const QRect& area) {
    int worst = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            worst = qMax(worst, qMax(qMax(qAbs(qRed(p) - qRed(q)), qAbs(qGreen(p) - qGreen(q))),
                                     qMax(qAbs(qBlue(p) - qBlue(q)), qAbs(qAlpha(p) - qAlpha(q)))));
        }
    return worst;
}

// Keeps a screenshot for a person to look at when KERNO_SCREENSHOT_DIR names a directory.
inline void keepScreenshot(const QImage& image, const QString& name) {
    const QString dir = qEnvironmentVariable("KERNO_SCREENSHOT_DIR");
    if (!dir.isEmpty() && QDir().mkpath(dir))
        image.save(QDir(dir).filePath(name + QStringLiteral(".png")));
}

} // namespace art
