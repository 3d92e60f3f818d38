#pragma once

#include "PhraseBand.h"

#include <QTransform>

// The catch phrases rising as a golden crawl seen in perspective, fading into
// the page background at the top of the band.
class AnimatedPhrasesChoc_SW : public PhraseBand {
public:
    explicit AnimatedPhrasesChoc_SW(QWidget* parent = nullptr,
                                    Qt::WindowFlags f = Qt::WindowFlags());
    explicit AnimatedPhrasesChoc_SW(const QString& text, QWidget* parent = nullptr,
                                    Qt::WindowFlags f = Qt::WindowFlags());

    // Band point (x, y) -> (w2 + 0.8 (x - w2) / (1 - 0.004 y), 0.5 y / (1 - 0.004 y)).
    static QTransform crawlTransform(int width);
    // The strip with an alpha ramp from opaque at the top to nearly clear at the bottom.
    static QImage makeFadeImage(const QImage& fadeSource);

protected:
    void paintEvent(QPaintEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void hideEvent(QHideEvent* event) override;

    // Whole pixels a point: the crawl samples its strip pixel by pixel.
    int pixelRatio() const;
    void buildFade();
    void renderCrawl();

    QImage fadeImage;
    QImage frame;
    bool fadeBuilt = false;
};
