#include "AnimatedSequence.h"

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
AnimatedSequence::Layer trimmed(QImage picture) {
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
    layer.image = used == picture.rect() ? std::move(picture) : picture.copy(used);
    if (opaque)
        layer.image = std::move(layer.image).convertToFormat(QImage::Format_RGB32);
    layer.offset = used.topLeft();
    return layer;
}

} // namespace

// Decoded on first use while shown. A picture equal to one already decoded (the progress
// page's four are one image) shares its pixels.
AnimatedSequence::Layer AnimatedSequence::picture(const QString& path) {
    const QString name = path.isEmpty() ? kDefaultPicture : path;
    const auto known = decoded.constFind(name);
    if (known != decoded.constEnd())
        return *known;
    Layer loaded = trimmed(loadPicture(name));
    for (const Layer& other : qAsConst(decoded))
        if (other.offset == loaded.offset && other.image == loaded.image)
            loaded.image = other.image;
    return *decoded.insert(name, loaded);
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
    pictureArea = QRect(QPoint(0, 0), pictureSize.isValid() ? pictureSize : QSize(801, 601));
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
    background = path;
    backgroundChanged = true;
}

void AnimatedSequence::loadStep(int index) {
    opacityFrom = 1.0;
    opacityTo = 0.0;
    stepIndex = index;
    currentStep = sequence.steps.at(index);
}

void AnimatedSequence::startTimerFor(const CrossfadeStep& step) {
    timerId = startTimer(step.interval, Qt::CoarseTimer);
}

void AnimatedSequence::hideEvent(QHideEvent* event) {
    QLabel::hideEvent(event);
    decoded.clear();
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

QRect AnimatedSequence::stepPicturesRect() {
    // Hidden, nothing is repainted, and nothing is decoded for it.
    if (!isVisible())
        return rect();
    QRect area;
    for (const Layer& layer : {picture(currentStep.from), picture(currentStep.to)})
        if (!layer.image.isNull())
            area |= QRect(layer.offset, layer.image.size());
    return area;
}

// Composed straight onto the window: a frame of its own would hold another page-sized
// picture for each page.
void AnimatedSequence::paintEvent(QPaintEvent*) {
    if (isRunning())
        shown = Frame{background, currentStep.from, currentStep.to, opacityFrom, opacityTo};
    if (!shown)
        return;
    const Layer back = picture(shown->background);
    const Layer from = picture(shown->from);
    const Layer to = picture(shown->to);
    QPainter painter(this);
    if (!pictureArea.contains(rect()))
        painter.setClipRect(pictureArea);
    painter.drawImage(back.offset, back.image);
    painter.setOpacity(qBound(0.0, shown->opacityFrom, 1.0));
    painter.drawImage(from.offset, from.image);
    painter.setOpacity(qBound(0.0, shown->opacityTo, 1.0));
    painter.drawImage(to.offset, to.image);
}
