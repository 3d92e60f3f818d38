#pragma once

#include <QImage>
#include <QLabel>
#include <QList>
#include <QString>

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

    // A decoded picture without its transparent margins, and where it goes.
    struct Layer {
        QImage image;
        QPoint offset;
    };

signals:
    void starting();
    void finished();

protected:
    void timerEvent(QTimerEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void loadStep(int index);
    void startTimerFor(const CrossfadeStep& step);
    static Layer layer(const QString& path);
    QRect stepPicturesRect() const;

    int stepIndex = 0;
    CrossfadeStep currentStep;
    double opacityFrom = 1.0;
    double opacityTo = 0.0;
    int timerId = 0;
    Layer background;
    bool backgroundChanged = false;
    QImage canvas;
    // The step's pictures, decoded once rather than at every frame.
    Layer fromPicture;
    Layer toPicture;
};
