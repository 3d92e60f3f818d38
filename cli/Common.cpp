#include "Cli.h"

#include "SignalWatcher.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <dlfcn.h>

namespace cli {

QString printable(const QString& text) {
    QString out = text;
    for (QChar& c : out)
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('?');
    return out;
}

QString modeName(int mode) {
    switch (mode) {
    case HIDDFU_MODE_UPGRADE:
        return QStringLiteral("upgrade");
    case HIDDFU_MODE_IN_USE:
        return QStringLiteral("in-use");
    case HIDDFU_MODE_NO_ACCESS:
        return QStringLiteral("no-access");
    }
    return QStringLiteral("unknown");
}

void printLine(const QString& line) {
    std::fputs((line + QLatin1Char('\n')).toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

void printError(const QString& line) {
    std::fputs(("kerno-dfu: " + line + QLatin1Char('\n')).toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
}

void printJson(const QJsonObject& object) {
    std::fputs(QJsonDocument(object).toJson(QJsonDocument::Compact).append('\n').constData(),
               stdout);
    std::fflush(stdout);
}

bool virtualSpeaker() {
    auto declares =
        reinterpret_cast<hidDfuVirtualSpeaker_t>(dlsym(RTLD_DEFAULT, "hidDfuVirtualSpeaker"));
    return declares && declares() == 1;
}

bool checkFile(const QString& path, hidDfuFileInfo& info, QString& why) {
    const int32_t code = hidDfuCheckFile(QFile::encodeName(path).constData(), &info);
    if (code != HIDDFU_OK) {
        why = printable(QString::fromUtf8(info.error)) + QStringLiteral(" (%1)").arg(code);
        return false;
    }
    // The same lock as the window's: a real speaker never gets the placeholder.
    if (info.placeholder && !virtualSpeaker()) {
        why = printable(path) + QStringLiteral(": the build's placeholder image, not firmware: "
                                               "refused for a real speaker");
        return false;
    }
    return true;
}

QVector<Speaker> listSpeakers(const Options& options) {
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        QVector<hidDfuDeviceInfo> found(8);
        int32_t n = hidDfuEnumerate(0x0A12, 0xFFFE, found.data(), found.size());
        if (n > found.size()) { // more than room: ask again with enough
            found.resize(n);
            n = std::min(hidDfuEnumerate(0x0A12, 0xFFFE, found.data(), found.size()), n);
        }
        QVector<Speaker> speakers;
        bool wanted = options.device.isEmpty();
        for (int i = 0; i < n; ++i) {
            speakers.push_back({QString::fromUtf8(found[i].path),
                                printable(QString::fromUtf8(found[i].serial)), found[i].mode});
            wanted = wanted || speakers.back().path == options.device;
        }
        if ((wanted && !speakers.isEmpty()) || waited.elapsed() >= options.waitSeconds * 1000LL ||
            SignalWatcher::caught())
            return speakers;
        // Enumeration walks the bus: a few times a second is plenty.
        QEventLoop pause;
        QTimer::singleShot(200, &pause, &QEventLoop::quit);
        pause.exec();
    }
}

QVector<Speaker> chooseSpeakers(const Options& options, int& exit) {
    QVector<Speaker> speakers = listSpeakers(options);
    exit = kNoSpeaker;
    if (!options.device.isEmpty()) {
        for (const Speaker& speaker : speakers)
            if (speaker.path == options.device) {
                exit = kDone;
                return {speaker};
            }
        printError(
            QStringLiteral("no speaker in upgrade mode at %1").arg(printable(options.device)));
        return {};
    }
    if (speakers.isEmpty()) {
        printError(QStringLiteral("no speaker in upgrade mode (USB 0a12:fffe) found"));
        return {};
    }
    // As the window does: never guess which of several speakers is meant.
    if (speakers.size() > 1 && !options.all) {
        printError(QStringLiteral("%1 speakers in upgrade mode found: choose one with --device "
                                  "PATH (see kerno-dfu list) or all with --all")
                       .arg(speakers.size()));
        return {};
    }
    exit = kDone;
    return speakers;
}

} // namespace cli
