#pragma once

#include <QImage>
#include <QLabel>
#include <QPen>
#include <QRect>

class QPropertyAnimation;

// A progress value drawn as a gradient arc that glides to each new value; a progress bar to a
// screen reader, told of each new value.
class CircularProgressWidget : public QLabel {
    Q_OBJECT
    Q_PROPERTY(int spanAngle READ spanAngle WRITE setSpanAngle)
public:
    explicit CircularProgressWidget(QWidget* parent = nullptr,
                                    Qt::WindowFlags f = Qt::WindowFlags());

    QSize sizeHint() const override;

public slots:
    void setMaximum(int maximum);
    void setMinimum(int minimum);
    void setRange(int minimum, int maximum);
    void setValue(int value);
    int value() const { return currentValue; }
    int minimum() const { return minimumValue; }
    int maximum() const { return maximumValue; }
    int spanAngle();
    void setSpanAngle(int newVal);

protected slots:
    void updateArcPen();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void updateTarget();

    int startAngleValue = 1280;
    int spanAngleValue = 0;
    int targetSpan = 0;
    QImage image;
    QRect imageRect;
    QPen arcPen;
    int minimumValue = 0;
    int maximumValue = 100;
    int currentValue = 0;
    QPropertyAnimation* spanAnimation;
};
