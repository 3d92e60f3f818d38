#pragma once

#include <QLabel>
#include <QPixmap>
#include <QRect>
#include <QStringList>

// Band of catch phrases that scrolls upwards one pixel every 50 ms. The text is laid
// out once; the picture behind the band is rendered a strip at a time as it scrolls.
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
    void hideEvent(QHideEvent* event) override;

    void layoutText();
    void renderStrip();

    // Rows stripTop onwards of the whole text picture (pixRect); the whole one would take
    // tens of megabytes.
    QPixmap pixmap;
    int stripTop = 0;
    QString text;
    QFont textFont;
    QRect pixRect;
    QRect textRect;
    int offset = 0;
    int limit = 0;
    int bandHeight = 0;
    bool dirty = true;
    int timerId = 0;
};
