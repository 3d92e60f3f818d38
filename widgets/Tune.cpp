#include "Tune.h"

#include "KernoWebSite.h"

#include <QAudioDeviceInfo>
#include <QSoundEffect>

#include <atomic>
#include <cstdio>

namespace {

const char kThemePath[] = "/star-wars-theme-song.wav";

std::atomic<QtMessageHandler> previousHandler{nullptr};
std::atomic_bool audioWarningShown{false};
int liveTunes = 0; // on the GUI thread

bool isAudioBackendMessage(const QString& message) {
    return message.startsWith(QLatin1String("PulseAudioService")) ||
           message.startsWith(QLatin1String("QSoundEffect")) ||
           message.startsWith(QLatin1String("QAudio"));
}

void audioMessageFilter(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg && isAudioBackendMessage(message) && audioWarningShown.exchange(true))
        return;
    if (const QtMessageHandler previous = previousHandler)
        previous(type, context, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

bool (*Tune::soundOutputPresent)() = [] {
    return !QAudioDeviceInfo::defaultOutputDevice().isNull();
};

Tune::Tune(QObject* parent) : QObject(parent), url(defaultSource()) {
    if (liveTunes++ == 0)
        previousHandler = qInstallMessageHandler(audioMessageFilter);
}

// Restored once the sound is gone, as its backend may speak until then; a handler installed
// after ours stays.
Tune::~Tune() {
    sound.reset();
    if (--liveTunes > 0)
        return;
    const QtMessageHandler current = qInstallMessageHandler(previousHandler);
    if (current != audioMessageFilter)
        qInstallMessageHandler(current);
}

QUrl Tune::defaultSource() {
    return QUrl(QLatin1String(kKernoWebSite) + QLatin1String(kThemePath));
}

void Tune::setSource(const QUrl& source) {
    url = source;
    if (sound)
        sound->setSource(url);
}

// Made on first use: pages that never crawl open no sound server connection and fetch nothing.
// Without a sound output the tune could not be heard: it is not fetched, which spares the
// download and the TLS library it needs (4 MiB).
void Tune::play() {
    stop();
    if (!sound) {
        if (!soundOutputPresent())
            return;
        sound.reset(new QSoundEffect);
        sound->setSource(url);
    }
    sound->setLoopCount(QSoundEffect::Infinite);
    sound->play();
}

void Tune::stop() {
    if (sound)
        sound->stop();
}
