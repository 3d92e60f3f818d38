#pragma once

#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QRect>
#include <QStringList>

// A band the catch phrases rise through one pixel every 50 ms. The text is laid out once; the
// picture of it is rendered a strip at a time as the band reaches it.
class PhraseBand : public QLabel {
public:
    void setPhrases(const QStringList& phrases);
    void start();
    void stop();

    bool isRunning() const { return timerId != 0; }
    int currentOffset() const { return offset; }
    int offsetLimit() const { return limit; }

protected:
    // How a kind of band joins, measures and draws its phrases.
    struct Look {
        QString separator;
        int measureFlags;
        QColor colour;
        QPainter::RenderHints hints;
        int textTopBands; // the text starts a band's height down divided by this
    };
    PhraseBand(const QString& label, QWidget* parent, Qt::WindowFlags f, const Look& look);

    void timerEvent(QTimerEvent* event) override;
    void hideEvent(QHideEvent* event) override;

    // Lays the text out after a change of phrases; false while there is nothing to draw.
    bool layOut();
    // The strip holds the band's rows at `ratio` pixels a point afterwards.
    void coverBand(qreal ratio);

    // Rows stripTop onwards of the whole text picture (pixRect); the whole one would take
    // tens of megabytes. An image, so that frames can be sampled from it.
    QImage strip;
    int stripTop = 0;
    QRect pixRect;
    int offset = 0;
    int bandHeight = 0;
    int timerId = 0;

private:
    const Look look;
    QString text;
    QFont textFont;
    QRect textRect;
    int limit = 0;
    bool dirty = true;
};
