#pragma once

#include <QPushButton>

#include <memory>

// A push button that draws only its picture, the same in every state.
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

private:
    QString picturePath;
    // Decoded for the pixel ratio of the screen last painted on.
    std::unique_ptr<QPixmap> pixmap;
};
