#include "AnimatedSequence.h"

#include <QHash>
#include <QImageReader>
#include <QPaintEvent>
#include <QPainter>
#include <QTimerEvent>

namespace {

const QString kDefaultPicture = QStringLiteral(":/Pages2/0-fond");

// Premultiplied pixels compose several times faster; what is shown is the same.
QImage loadPicture(const QString& path) {
    return QImage(path.isEmpty() ? kDefaultPicture : path)
        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// Cuts the fully transparent margins away (drawing them changes nothing) and marks a
// picture without any transparency as such, so that it is copied rather than blended.
AnimatedSequence::Layer trimmed(const QImage& picture) {
    AnimatedSequence::Layer layer;
    if (picture.isNull())
        return layer;
    int top = picture.height(), bottom = -1, left = picture.width(), right = -1;
    bool opaque = true;
    for (int y = 0; y < picture.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(picture.constScanLine(y));
        for (int x = 0; x < picture.width(); ++x) {
            const int alpha = qAlpha(line[x]);
            opaque &= alpha == 255;
            if (alpha) {
                top = qMin(top, y);
                bottom = y;
                left = qMin(left, x);
                right = qMax(right, x);
            }
        }
    }
    if (bottom < 0)
        return layer;
    const QRect used(QPoint(left, top), QPoint(right, bottom));
    layer.image = used == picture.rect() ? picture : picture.copy(used);
    if (opaque)
        layer.image = layer.image.convertToFormat(QImage::Format_RGB32);
    layer.offset = used.topLeft();
    return layer;
}

} // namespace

AnimatedSequence::Layer AnimatedSequence::layer(const QString& path) {
    const QString name = path.isEmpty() ? kDefaultPicture : path;
    // Resources never change, so each is decoded once for the whole process (every
    // page starts from the same backdrop); files are read again.
    static QHash<QString, Layer> decodedResources;
    const bool resource = name.startsWith(QLatin1Char(':'));
    if (resource) {
        const auto cached = decodedResources.constFind(name);
        if (cached != decodedResources.constEnd())
            return *cached;
    }
    const Layer loaded = trimmed(loadPicture(name));
    if (resource)
        decodedResources.insert(name, loaded);
    return loaded;
}

CrossfadeStep::CrossfadeStep(const QString& from, int duration, int tickCount, const QString& to)
    : from(from), duration(duration), tickCount(tickCount), to(to),
      interval(tickCount > 0 ? duration / tickCount : duration),
      opacityStep(tickCount > 0 ? 1.0 / tickCount : 1.0) {}

AnimatedSequence::AnimatedSequence(QWidget* parent, Qt::WindowFlags f)
    : AnimatedSequence(QString(), parent, f) {}

AnimatedSequence::AnimatedSequence(const QString& text, QWidget* parent, Qt::WindowFlags f)
    : QLabel(text, parent, f) {
    const QSize pictureSize = QImageReader(kDefaultPicture).size();
    const QSize size = pictureSize.isValid() ? pictureSize : QSize(801, 601);
    background = layer(kDefaultPicture);
    canvas = QImage(size, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
}

void AnimatedSequence::start() {
    if (timerId)
        killTimer(timerId);
    timerId = 0;
    if (sequence.steps.isEmpty())
        return;
    loadStep(0);
    startTimerFor(currentStep);
    // Show step 0 now, not one interval later, when the page is already on screen.
    update();
    emit starting();
}

void AnimatedSequence::stop() {
    if (timerId)
        killTimer(timerId);
    timerId = 0;
}

void AnimatedSequence::setBackground(const QString& path) {
    background = layer(path);
    backgroundChanged = true;
}

void AnimatedSequence::loadStep(int index) {
    opacityFrom = 1.0;
    opacityTo = 0.0;
    stepIndex = index;
    currentStep = sequence.steps.at(index);
    fromPicture = layer(currentStep.from);
    toPicture = currentStep.to == currentStep.from ? fromPicture : layer(currentStep.to);
}

void AnimatedSequence::startTimerFor(const CrossfadeStep& step) {
    timerId = startTimer(step.interval, Qt::CoarseTimer);
}

void AnimatedSequence::timerEvent(QTimerEvent* event) {
    if (event->timerId() != timerId || timerId == 0)
        return;
    // Only the step's pictures change between two ticks: recomposing just their
    // area keeps the fast swings cheap.
    QRect dirty = stepPicturesRect();
    currentStep.tickCount -= 1;
    opacityFrom -= currentStep.opacityStep;
    opacityTo += currentStep.opacityStep;
    if (backgroundChanged) {
        backgroundChanged = false;
        dirty = rect();
    }
    update(dirty);
    if (currentStep.tickCount >= 0)
        return;
    stepIndex += 1;
    if (stepIndex < sequence.steps.size()) {
        killTimer(timerId);
        loadStep(stepIndex);
        startTimerFor(currentStep);
        update(stepPicturesRect());
    } else if (sequence.loop()) {
        start();
        emit finished();
    } else {
        stop();
        emit finished();
    }
}

QRect AnimatedSequence::stepPicturesRect() const {
    QRect area;
    for (const Layer* picture : {&fromPicture, &toPicture})
        if (!picture->image.isNull())
            area |= QRect(picture->offset, picture->image.size());
    return area;
}

void AnimatedSequence::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    if (isRunning()) {
        QPainter compose(&canvas);
        compose.setClipRegion(event->region());
        compose.drawImage(background.offset, background.image);
        compose.setOpacity(qBound(0.0, opacityFrom, 1.0));
        compose.drawImage(fromPicture.offset, fromPicture.image);
        compose.setOpacity(qBound(0.0, opacityTo, 1.0));
        compose.drawImage(toPicture.offset, toPicture.image);
    }
    for (const QRect& area : event->region())
        painter.drawImage(area, canvas, area);
}

