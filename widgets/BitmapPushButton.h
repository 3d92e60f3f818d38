#pragma once

#include <QPushButton>

#include <memory>

// A push button that draws its picture, the same in every state, and a ring while it has the
// keyboard focus. Enter and Space press it, in a dialog or not.
class BitmapPushButton : public QPushButton {
    Q_OBJECT
public:
    explicit BitmapPushButton(QWidget* parent = nullptr);
    BitmapPushButton(const QString& text, QWidget* parent = nullptr);
    BitmapPushButton(const QIcon& icon, const QString& text, QWidget* parent = nullptr);
    ~BitmapPushButton() override;

    void setPixmap(const QString& path);

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    std::unique_ptr<QPixmap> pixmap;
};
