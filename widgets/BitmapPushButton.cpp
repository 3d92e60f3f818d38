#include "BitmapPushButton.h"

#include <QKeyEvent>
#include <QPainter>
#include <QPixmap>

BitmapPushButton::BitmapPushButton(QWidget* parent) : QPushButton(parent) {}

BitmapPushButton::BitmapPushButton(const QString& text, QWidget* parent)
    : QPushButton(text, parent) {}

BitmapPushButton::BitmapPushButton(const QIcon& icon, const QString& text, QWidget* parent)
    : QPushButton(icon, text, parent) {}

BitmapPushButton::~BitmapPushButton() = default;

void BitmapPushButton::setPixmap(const QString& path) {
    pixmap = std::make_unique<QPixmap>(path);
    update();
}

void BitmapPushButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (pixmap)
        painter.drawPixmap(0, 0, *pixmap);
    if (!hasFocus())
        return;
    // White dots over a dark line: seen on the dark pages and on a light desktop alike. Round
    // ends follow the pictures: a pill for a wide button, a circle for a square one.
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF ring = QRectF(rect()).adjusted(2, 2, -2, -2);
    const qreal radius = qMin(ring.width(), ring.height()) / 2;
    painter.setPen(QPen(QColor(0, 0, 0, 160), 3));
    painter.drawRoundedRect(ring, radius, radius);
    painter.setPen(QPen(Qt::white, 2, Qt::DotLine));
    painter.drawRoundedRect(ring, radius, radius);
}

// A plain QPushButton takes Enter only as a dialog's default button.
void BitmapPushButton::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        click();
        return;
    }
    QPushButton::keyPressEvent(event);
}
