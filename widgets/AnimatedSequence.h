#pragma once

#include <QByteArray>
#include <QHash>
#include <QImage>
#include <QLabel>
#include <QList>
#include <QString>
#include <QVector>

#include <optional>

// One cross-fade: `from` fades out while `to` fades in, in tickCount ticks.
struct CrossfadeStep {
    CrossfadeStep() = default;
    CrossfadeStep(const QString& from, int duration, int tickCount, const QString& to);

    QString from;
    int duration = 0;
    int tickCount = 0;
    QString to;
    int interval = 0;
    double opacityStep = 0.0;
};

// The script of an animation: steps played in order, once or for ever.
struct CrossfadeSequence {
    QList<CrossfadeStep> steps;
    bool loopFlag = false;

    void append(const CrossfadeStep& step) { steps.append(step); }
    void setLoop(bool loop) { loopFlag = loop; }
    bool loop() const { return loopFlag; }
};

// Full-page backdrop that cross-fades pictures over a background.
class AnimatedSequence : public QLabel {
    Q_OBJECT
public:
    explicit AnimatedSequence(QWidget* parent = nullptr, Qt::WindowFlags f = Qt::WindowFlags());
    explicit AnimatedSequence(const QString& text, QWidget* parent = nullptr,
                              Qt::WindowFlags f = Qt::WindowFlags());

    void start();
    void stop();
    bool isRunning() const { return timerId != 0; }
    void setBackground(const QString& path);

    CrossfadeSequence sequence;

    // A decoded picture as the parts of it that hold any ink (a page picture is mostly
    // clear), each where it goes, and the box around them.
    struct Layer {
        struct Tile {
            QImage image;
            QPoint offset;
        };
        QVector<Tile> tiles;
        QRect bounds;
        // The encoded picture it was decoded from, when known: equal ones share a layer.
        QByteArray source;
    };

signals:
    void starting();
    void finished();

protected:
    void timerEvent(QTimerEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void loadStep(int index);
    void startTimerFor(const CrossfadeStep& step);
    Layer picture(const QString& path);
    QRect stepPicturesRect();

    int stepIndex = 0;
    CrossfadeStep currentStep;
    double opacityFrom = 1.0;
    double opacityTo = 0.0;
    int timerId = 0;
    QString background;
    bool backgroundChanged = false;
    // The last frame composed while running: it stays once the sequence stops, and
    // there is none before the first start().
    struct Frame {
        QString background, from, to;
        double opacityFrom, opacityTo;
    };
    std::optional<Frame> shown;
    // Where pictures are drawn: the size of a page picture.
    QRect pictureArea;
    // The pictures decoded for this sequence while it is on screen, by path: composed
    // at every frame, and let go when it is hidden.
    QHash<QString, Layer> decoded;
    int decodedRatio = 1;
};
