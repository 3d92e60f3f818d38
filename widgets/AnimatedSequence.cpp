#include "AnimatedSequence.h"

#include <QPainter>
#include <QTimerEvent>

namespace {

const QString kDefaultPicture = QStringLiteral(":/Pages2/0-fond");

// Premultiplied pixels compose several times faster; what is shown is the same.
QImage loadPicture(const QString& path) {
    return QImage(path.isEmpty() ? kDefaultPicture : path)
        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

} // namespace

CrossfadeStep::CrossfadeStep(const QString& from, int duration, int tickCount, const QString& to)
    : from(from), duration(duration), tickCount(tickCount), to(to),
      interval(tickCount > 0 ? duration / tickCount : duration),
      opacityStep(tickCount > 0 ? 1.0 / tickCount : 1.0) {}

AnimatedSequence::AnimatedSequence(QWidget* parent, Qt::WindowFlags f)
    : AnimatedSequence(QString(), parent, f) {}

AnimatedSequence::AnimatedSequence(const QString& text, QWidget* parent, Qt::WindowFlags f)
    : QLabel(text, parent, f), background(loadPicture(kDefaultPicture)) {
    const QSize size = background.isNull() ? QSize(801, 601) : background.size();
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
    background = loadPicture(path);
}

void AnimatedSequence::loadStep(int index) {
    opacityFrom = 1.0;
    opacityTo = 0.0;
    stepIndex = index;
    currentStep = sequence.steps.at(index);
    fromPicture = loadPicture(currentStep.from);
    toPicture = currentStep.to == currentStep.from ? fromPicture : loadPicture(currentStep.to);
}

void AnimatedSequence::startTimerFor(const CrossfadeStep& step) {
    timerId = startTimer(step.interval, Qt::CoarseTimer);
}

void AnimatedSequence::timerEvent(QTimerEvent* event) {
    if (event->timerId() != timerId || timerId == 0)
        return;
    update();
    currentStep.tickCount -= 1;
    opacityFrom -= currentStep.opacityStep;
    opacityTo += currentStep.opacityStep;
    if (currentStep.tickCount >= 0)
        return;
    stepIndex += 1;
    if (stepIndex < sequence.steps.size()) {
        killTimer(timerId);
        loadStep(stepIndex);
        startTimerFor(currentStep);
    } else if (sequence.loop()) {
        start();
        emit finished();
    } else {
        stop();
        emit finished();
    }
}

void AnimatedSequence::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (isRunning()) {
        QPainter compose(&canvas);
        compose.drawImage(0, 0, background);
        compose.setOpacity(qBound(0.0, opacityFrom, 1.0));
        compose.drawImage(0, 0, fromPicture);
        compose.setOpacity(qBound(0.0, opacityTo, 1.0));
        compose.drawImage(0, 0, toPicture);
    }
    painter.drawImage(0, 0, canvas);
}
