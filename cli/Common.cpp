#include "Cli.h"

#include "StandardStreams.h"

#include "SignalWatcher.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>

namespace cli {

namespace {

// The length of the well-formed UTF-8 sequence at p, 0 when there is none.
int utf8Length(const unsigned char* p) {
    if (p[0] < 0x80)
        return 1;
    int length = 0;
    unsigned low = 0x80, high = 0xBF; // what the second byte may be
    if (p[0] >= 0xC2 && p[0] <= 0xDF) {
        length = 2;
    } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
        length = 3;
        low = p[0] == 0xE0 ? 0xA0 : low;   // no overlong form
        high = p[0] == 0xED ? 0x9F : high; // no surrogate
    } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
        length = 4;
        low = p[0] == 0xF0 ? 0x90 : low;
        high = p[0] == 0xF4 ? 0x8F : high; // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (p[1] < low || p[1] > high)
        return 0;
    for (int i = 2; i < length; ++i)
        if (p[i] < 0x80 || p[i] > 0xBF)
            return 0;
    return length;
}

bool escaped(const QString& text, int i) {
    const ushort c = text[i].unicode();
    return c >= 0xDC80 && c <= 0xDCFF && !(i > 0 && text[i - 1].isHighSurrogate());
}

} // namespace

QString argumentText(const char* bytes) {
    QString text;
    for (auto p = reinterpret_cast<const unsigned char*>(bytes); *p;) {
        const int length = utf8Length(p);
        if (length)
            text += QString::fromUtf8(reinterpret_cast<const char*>(p), length);
        else
            text += QChar(0xDC00 + *p);
        p += length ? length : 1;
    }
    return text;
}

QByteArray argumentBytes(const QString& text) {
    QByteArray bytes;
    int from = 0;
    for (int i = 0; i < text.size(); ++i)
        if (escaped(text, i)) {
            bytes += text.midRef(from, i - from).toUtf8();
            bytes += char(text[i].unicode() - 0xDC00);
            from = i + 1;
        }
    return bytes + text.midRef(from).toUtf8();
}

QString printable(const QString& text) {
    QString out = text;
    for (int i = 0; i < out.size(); ++i)
        if (out.at(i).category() == QChar::Other_Control)
            out[i] = QLatin1Char('?');
        else if (out.at(i).isHighSurrogate() && i + 1 < out.size() &&
                 out.at(i + 1).isLowSurrogate())
            ++i;
        else if (out.at(i).isSurrogate())
            out[i] = QChar::ReplacementCharacter;
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

namespace {

struct Stream {
    std::FILE* file;
    const char* name;
    int error = 0; // errno of the first failed write
    bool closed = false;
};
Stream out{stdout, "standard output"}, err{stderr, "standard error"};
bool json = false;
QString firstError;
QJsonObject summary;

void write(Stream& stream, const QByteArray& bytes) {
    if (stream.closed && !stream.error)
        stream.error = EBADF;
    errno = 0;
    // The output failing never stops a transfer: it is told at the end.
    if ((std::fputs(bytes.constData(), stream.file) == EOF || std::fflush(stream.file) == EOF) &&
        !stream.error)
        stream.error = errno ? errno : EIO;
}

QString failure(const Stream& stream) {
    return QStringLiteral("cannot write to %1: %2")
        .arg(QLatin1String(stream.name), QString::fromLocal8Bit(std::strerror(stream.error)));
}

} // namespace

void printText(const QString& text) {
    write(out, text.toLocal8Bit());
}

void printLine(const QString& line) {
    printText(line + QLatin1Char('\n'));
}

void printError(const QString& line) {
    if (firstError.isEmpty())
        firstError = line;
    write(err, ("kerno-dfu: " + line + QLatin1Char('\n')).toLocal8Bit());
}

void printJson(const QJsonObject& object) {
    write(out, QJsonDocument(object).toJson(QJsonDocument::Compact).append('\n'));
}

void openStandardStreams() {
    const int closed = reopenClosedStandardStreams();
    out.closed = closed & 2;
    err.closed = closed & 4;
}

void setJson(bool on) {
    json = on;
}

void addToSummary(const QJsonObject& fields) {
    for (auto i = fields.begin(); i != fields.end(); ++i)
        summary.insert(i.key(), i.value());
}

int finish(int exit) {
    if ((out.error || err.error) && exit == kDone)
        exit = kOutputLost;
    if (json) {
        summary.insert("event", "summary");
        summary.insert("exit", exit);
        if (!firstError.isEmpty())
            summary.insert("error", firstError);
        if (err.error)
            summary.insert("outputError", failure(err));
        printJson(summary);
    }
    if (out.error) {
        if (exit == kDone)
            exit = kOutputLost;
        write(err, ("kerno-dfu: " + failure(out) + '\n').toLocal8Bit());
    }
    if (err.error && !json)
        write(out, ("kerno-dfu: " + failure(err) + '\n').toLocal8Bit());
    return exit;
}

bool virtualSpeaker() {
    auto declares =
        reinterpret_cast<hidDfuVirtualSpeaker_t>(dlsym(RTLD_DEFAULT, "hidDfuVirtualSpeaker"));
    return declares && declares() == 1;
}

bool checkFile(const QString& path, hidDfuFileInfo& info, QString& why) {
    const int32_t code = hidDfuCheckFile(argumentBytes(path).constData(), &info);
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
    int waiting = 0;
    for (;;) {
        QVector<hidDfuDeviceInfo> found;
        int32_t n = 8;
        while (n > found.size()) { // more than room: ask again with enough
            found.resize(n);
            n = hidDfuEnumerate(HIDDFU_VENDOR_ID, HIDDFU_PRODUCT_ID, found.data(), found.size());
        }
        QVector<Speaker> speakers;
        bool wanted = options.device.isEmpty();
        for (int i = 0; i < n; ++i) {
            speakers.push_back({QString::fromUtf8(found[i].path),
                                printable(QString::fromUtf8(found[i].serial)), found[i].mode});
            wanted = wanted || speakers.back().path == options.device;
        }
        if (SignalWatcher::caught()) {
            printError(QStringLiteral("stopped (signal %1) while waiting for a speaker")
                           .arg(SignalWatcher::caught()));
            return {};
        }
        if ((wanted && !speakers.isEmpty()) || waited.elapsed() >= options.waitSeconds * 1000LL)
            return speakers;
        if (!waiting++) { // a script learns why nothing happens yet
            if (json) {
                QJsonObject event{{"event", "waiting"}, {"seconds", options.waitSeconds}};
                if (!options.device.isEmpty())
                    event.insert("device", printable(options.device));
                printJson(event);
            } else {
                write(err, QStringLiteral("kerno-dfu: waiting up to %1 s for %2\n")
                               .arg(options.waitSeconds)
                               .arg(options.device.isEmpty() ? QStringLiteral("a speaker")
                                                             : printable(options.device))
                               .toLocal8Bit());
            }
        }
        // Enumeration walks the bus: a few times a second is plenty.
        QEventLoop pause;
        QTimer::singleShot(200, &pause, &QEventLoop::quit);
        pause.exec();
    }
}

QVector<Speaker> chooseSpeakers(const Options& options, int& exit) {
    QVector<Speaker> speakers = listSpeakers(options);
    if (SignalWatcher::caught()) { // listSpeakers said so
        exit = kSignalBase + SignalWatcher::caught();
        return {};
    }
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
