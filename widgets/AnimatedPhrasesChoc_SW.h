#pragma once

#include <QImage>
#include <QLabel>
#include <QRect>
#include <QStringList>
#include <QTransform>
#include <QUrl>

#include <memory>

class QSoundEffect;

// The catch phrases rising as a golden crawl seen in perspective, fading into
// the page background at the top of the band, while the theme tune loops.
class AnimatedPhrasesChoc_SW : public QLabel {
public:
    explicit AnimatedPhrasesChoc_SW(QWidget* parent = nullptr,
                                    Qt::WindowFlags f = Qt::WindowFlags());
    explicit AnimatedPhrasesChoc_SW(const QString& text, QWidget* parent = nullptr,
                                    Qt::WindowFlags f = Qt::WindowFlags());
    ~AnimatedPhrasesChoc_SW() override;

    void setPhrases(const QStringList& phrases);
    void start();
    void stop();

    bool isRunning() const { return timerId != 0; }
    int currentOffset() const { return offset; }
    int offsetLimit() const { return limit; }

    // Where the tune is fetched from; the production address unless changed.
    static QUrl defaultThemeSource();
    void setThemeSource(const QUrl& url);
    QUrl themeSource() const { return themeUrl; }
    // Null until the first start() with a sound output: no audio or network is touched before.
    const QSoundEffect* themeTune() const { return theme.get(); }
    // Whether there is a sound output to play the tune on; tests put their own answer.
    static bool (*soundOutputPresent)();

    // Band point (x, y) -> (w2 + 0.8 (x - w2) / (1 - 0.004 y), 0.5 y / (1 - 0.004 y)).
    static QTransform crawlTransform(int width);
    // The strip with an alpha ramp from opaque at the top to nearly clear at the bottom.
    static QImage makeFadeImage(const QImage& fadeSource);

protected:
    void timerEvent(QTimerEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void hideEvent(QHideEvent* event) override;

    void layoutText();
    // Whole pixels a point: the crawl samples its strip pixel by pixel.
    int pixelRatio() const;
    void renderStrip();
    void buildFade();
    void renderCrawl();

    // Rows stripTop onwards of the whole text picture (pixRect), rendered as the band
    // reaches them; an image so that frames can be sampled from it.
    QImage pixmap;
    int stripTop = 0;
    QString text;
    QFont textFont;
    QRect pixRect;
    QRect textRect;
    int offset = 0;
    int limit = 0;
    int bandHeight = 0;
    QImage fadeImage;
    QImage frame;
    bool fadeBuilt = false;
    bool dirty = true;
    int timerId = 0;
    QUrl themeUrl;
    std::unique_ptr<QSoundEffect> theme;
};
