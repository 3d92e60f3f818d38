#include "BitmapPushButton.h"

#include "HighDpi.h"

#include <QPainter>
#include <QPixmap>

BitmapPushButton::BitmapPushButton(QWidget* parent) : QPushButton(parent) {}

BitmapPushButton::BitmapPushButton(const QString& text, QWidget* parent)
    : QPushButton(text, parent) {}

BitmapPushButton::BitmapPushButton(const QIcon& icon, const QString& text, QWidget* parent)
    : QPushButton(icon, text, parent) {}

BitmapPushButton::~BitmapPushButton() = default;

void BitmapPushButton::setPixmap(const QString& path) {
    picturePath = path;
    pixmap = std::make_unique<QPixmap>(HighDpi::pixmap(path, devicePixelRatioF()));
    update();
}

void BitmapPushButton::paintEvent(QPaintEvent*) {
    if (!pixmap)
        return;
    if (pixmap->devicePixelRatio() != HighDpi::pictureRatio(devicePixelRatioF()))
        *pixmap = HighDpi::pixmap(picturePath, devicePixelRatioF());
    QPainter painter(this);
    painter.drawPixmap(0, 0, *pixmap);
}
