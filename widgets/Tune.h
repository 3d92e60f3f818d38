#pragma once

#include <QObject>
#include <QUrl>

#include <memory>

class QSoundEffect;

// The theme tune, looped while the crawl runs. While any Tune lives, the audio backend's
// warnings pass to the log once: without a sound server or a network it repeats them on every
// attempt, and one line is enough to tell why the crawl is silent.
class Tune : public QObject {
    Q_OBJECT
public:
    explicit Tune(QObject* parent = nullptr);
    ~Tune() override;

    // Where the tune is fetched from; the production address unless changed.
    static QUrl defaultSource();
    void setSource(const QUrl& url);
    QUrl source() const { return url; }
    void play();
    void stop();
    // Null until the first play() with a sound output: no audio or network is touched before.
    const QSoundEffect* effect() const { return sound.get(); }
    // Whether there is a sound output to play the tune on; tests put their own answer.
    static bool (*soundOutputPresent)();

private:
    QUrl url;
    std::unique_ptr<QSoundEffect> sound;
};
