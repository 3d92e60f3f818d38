#include "CircularProgressWidget.h"

#include "KernoAccessible.h"

#include <QConicalGradient>
#include <QEasingCurve>
#include <QPainter>
#include <QPropertyAnimation>

namespace {
const QString kSurface = QStringLiteral(":/icons/transparent-125.125");
const QSize kSurfaceSize(125, 125);

QImage loadSurface() {
    QImage surface(kSurface);
    if (surface.isNull()) {
        surface = QImage(kSurfaceSize, QImage::Format_ARGB32_Premultiplied);
        surface.fill(Qt::transparent);
    }
    return surface;
}
} // namespace

CircularProgressWidget::CircularProgressWidget(QWidget* parent, Qt::WindowFlags f)
    : QLabel(parent, f), image(loadSurface()),
      imageRect(QPoint(0, 0), QPoint(image.width() - 1, image.height() - 1)),
      spanAnimation(new QPropertyAnimation(this, "spanAngle", this)) {
    installKernoAccessibility();
    setAccessibleName(tr("Progression de la mise à jour"));
    // The page's one thing to follow: where its focus goes, and reachable with Tab.
    setFocusPolicy(Qt::TabFocus);
    updateArcPen();
    spanAnimation->setEasingCurve(QEasingCurve::Linear);
    spanAnimation->setDuration(40);
    spanAnimation->setStartValue(0);
}

QSize CircularProgressWidget::sizeHint() const {
    return image.size();
}

void CircularProgressWidget::setMaximum(int maximum) {
    maximumValue = maximum;
    updateTarget();
}

void CircularProgressWidget::setMinimum(int minimum) {
    minimumValue = minimum;
    updateTarget();
}

void CircularProgressWidget::setRange(int minimum, int maximum) {
    minimumValue = minimum;
    maximumValue = maximum;
    updateTarget();
}

void CircularProgressWidget::setValue(int value) {
    if (value < minimumValue || value > maximumValue)
        return;
    const bool changed = value != currentValue;
    currentValue = value;
    updateTarget();
    if (changed)
        announceProgressValue(this, value);
}

int CircularProgressWidget::spanAngle() {
    return spanAngleValue;
}

void CircularProgressWidget::setSpanAngle(int newVal) {
    spanAngleValue = newVal;
    update();
}

void CircularProgressWidget::updateTarget() {
    if (maximumValue <= minimumValue) {
        spanAngleValue = 0;
        return;
    }
    const double fraction = double(currentValue - minimumValue) / double(maximumValue - minimumValue);
    targetSpan = static_cast<int>(fraction * -340.0 * 16.0);
    spanAnimation->setStartValue(spanAngleValue);
    spanAnimation->setEndValue(targetSpan);
    if (spanAnimation->state() != QAbstractAnimation::Running)
        spanAnimation->start();
}

void CircularProgressWidget::updateArcPen() {
    QConicalGradient gradient(image.width() / 2, image.height() / 2, 90);
    gradient.setColorAt(0.0, QColor(17, 180, 183));
    gradient.setColorAt(1.0, QColor(9, 60, 62));
    arcPen = QPen(QBrush(gradient), 6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    update();
}

void CircularProgressWidget::paintEvent(QPaintEvent*) {
    QImage frame(image.size(), QImage::Format_ARGB32_Premultiplied);
    frame.fill(Qt::transparent);
    {
        QPainter arc(&frame);
        arc.setRenderHint(QPainter::Antialiasing);
        arc.setPen(arcPen);
        const QRectF arcRect(imageRect.left() + 11, imageRect.top() + 11,
                             imageRect.right() - imageRect.left() - 21,
                             imageRect.bottom() - imageRect.top() - 21);
        arc.drawArc(arcRect, startAngleValue, spanAngleValue);
    }
    QPainter painter(this);
    painter.drawImage(0, 0, frame);
}
