#include "BitmapPushButton.h"

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
    if (!pixmap)
        return;
    QPainter painter(this);
    painter.drawPixmap(0, 0, *pixmap);
}
