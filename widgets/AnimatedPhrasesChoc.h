#pragma once

#include <QLabel>
#include <QPixmap>
#include <QRect>
#include <QStringList>

// Band of catch phrases that scrolls upwards one pixel every 50 ms. The text is
// rendered once into a tall picture; each frame copies a window of it.
class AnimatedPhrasesChoc : public QLabel {
public:
    explicit AnimatedPhrasesChoc(QWidget* parent = nullptr, Qt::WindowFlags f = Qt::WindowFlags());
    explicit AnimatedPhrasesChoc(const QString& text, QWidget* parent = nullptr,
                                 Qt::WindowFlags f = Qt::WindowFlags());

    void setPhrases(const QStringList& phrases);
    void start();
    void stop();

    bool isRunning() const { return timerId != 0; }
    int currentOffset() const { return offset; }
    int offsetLimit() const { return limit; }

protected:
    void timerEvent(QTimerEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

    void layoutText();

    QPixmap pixmap;
    QString text;
    QRect pixRect;
    QRect textRect;
    int offset = 0;
    int limit = 0;
    int bandHeight = 0;
    bool dirty = true;
    int timerId = 0;
};
