#include "ProgressView.h"

#include "Worker.h"

#include <QJsonObject>

#include <algorithm>

namespace cli {
namespace {

const char* outcomeName(int outcome) {
    switch (outcome) {
    case Worker::Updated:
        return "updated";
    case Worker::Restarted:
        return "restarted";
    case Worker::Failed:
        return "failed";
    case Worker::NotOpened:
        return "not-opened";
    case Worker::Stopped:
        return "stopped";
    }
    return "unknown";
}

QString duration(qint64 seconds) {
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

ProgressView::ProgressView(Style style, const QVector<Speaker>& speakers, qint64 imageBytes)
    : style_(style), imageBytes_(imageBytes) {
    for (const Speaker& speaker : speakers) {
        Row row;
        row.speaker = speaker;
        rows_.push_back(row);
        pathWidth_ = std::max(pathWidth_, speaker.path.size());
    }
    if (style_ == Bars)
        draw(true);
}

QString ProgressView::rateAndLeft(const Row& row, double* bytesPerSecond,
                                  qint64* secondsLeft) const {
    const double seconds = row.started.isValid() ? row.started.elapsed() / 1000.0 : 0;
    const double done = double(imageBytes_) * std::clamp(row.percent, 0, 99) / 99;
    const double rate = seconds > 0 ? done / seconds : 0;
    const qint64 left = rate > 0 ? qint64((imageBytes_ - done) / rate + 0.5) : -1;
    if (bytesPerSecond)
        *bytesPerSecond = rate;
    if (secondsLeft)
        *secondsLeft = left;
    QString text = QStringLiteral("%1 KiB/s").arg(rate / 1024, 0, 'f', 1);
    if (row.percent < 99 && left >= 0)
        text += QStringLiteral(", %1 left").arg(duration(left));
    return text;
}

QString ProgressView::line(const Row& row) const {
    const QString path = row.speaker.path.leftJustified(pathWidth_);
    if (row.outcome >= 0)
        return path + "  " + outcomeName(row.outcome) +
               (row.error.isEmpty() ? QString()
                                    : QStringLiteral(" (%1): %2").arg(row.code).arg(row.error));
    if (imageBytes_ == 0 || row.percent < 0)
        return path + "  " + row.state;
    const int filled = std::clamp(row.percent, 0, 100) * 30 / 100;
    const QString bar = QString(filled, '#') + QString(30 - filled, '-');
    return QStringLiteral("%1  [%2] %3 %  %4  %5")
        .arg(path, bar)
        .arg(row.percent, 3)
        .arg(row.state, rateAndLeft(row, nullptr, nullptr));
}

void ProgressView::event(const Row& row, const QString& name, QJsonObject fields) {
    fields.insert("event", name);
    fields.insert("device", row.speaker.path);
    fields.insert("serial", row.speaker.serial);
    printJson(fields);
}

void ProgressView::draw(bool now) {
    // A terminal wants no more than a few redraws a second.
    if (!now && lastDraw_.isValid() && lastDraw_.elapsed() < 100)
        return;
    lastDraw_.start();
    QString text = drawn_ ? QStringLiteral("\x1b[%1A").arg(rows_.size()) : QString();
    for (const Row& row : rows_)
        text += "\r\x1b[2K" + line(row) + '\n';
    drawn_ = true;
    printText(text);
}

void ProgressView::progressed(int index, int percent) {
    Row& row = rows_[index];
    if (!row.started.isValid())
        row.started.start();
    const int before = row.percent;
    row.percent = percent;
    // 99 stays while the speaker writes and checks the image it received.
    row.state = percent < 99    ? QStringLiteral("writing")
                : percent == 99 ? QStringLiteral("verifying")
                                : QStringLiteral("over");
    if (style_ == Bars) {
        draw(false);
    } else if (style_ == Lines) {
        // 100 says only that the transfer is over: the next line tells how.
        if (percent < 100 && (before < 0 || percent / 10 != before / 10 || percent == 99))
            printLine(QStringLiteral("%1: %2 %3 % (%4)")
                          .arg(row.speaker.path, row.state)
                          .arg(percent)
                          .arg(rateAndLeft(row, nullptr, nullptr)));
    } else {
        double rate = 0;
        qint64 left = 0;
        rateAndLeft(row, &rate, &left);
        event(row, QStringLiteral("progress"),
              {{"percent", percent}, {"bytesPerSecond", qRound64(rate)}, {"secondsLeft", left}});
    }
}

void ProgressView::restarting(int index) {
    Row& row = rows_[index];
    row.state = QStringLiteral("restarting");
    if (style_ == Bars)
        draw(true);
    else if (style_ == Lines)
        printLine(row.speaker.path + ": restarting");
    else
        event(row, row.state);
}

void ProgressView::finished(int index, int outcome, int code, const QString& error) {
    Row& row = rows_[index];
    row.outcome = outcome;
    row.code = code;
    row.error = error;
    if (style_ == Bars)
        draw(true);
    else if (style_ == Lines)
        printLine(row.speaker.path + ": " + line(row).mid(pathWidth_ + 2));
    else
        event(row, outcomeName(outcome), {{"code", code}, {"error", error}});
}

void ProgressView::summary() {
    int counts[5] = {};
    for (const Row& row : rows_)
        if (row.outcome >= 0 && row.outcome < 5)
            ++counts[row.outcome];
    if (style_ == Json) { // the counts join the run's summary
        QJsonObject all;
        for (int outcome = 0; outcome < 5; ++outcome)
            all.insert(outcomeName(outcome), counts[outcome]);
        addToSummary(all);
        return;
    }
    const int serialWidth = std::max<int>(
        6, std::max_element(rows_.begin(), rows_.end(), [](const Row& a, const Row& b) {
               return a.speaker.serial.size() < b.speaker.serial.size();
           })->speaker.serial.size());
    const int width = std::max(7, pathWidth_);
    printLine(QString());
    printLine(QStringLiteral("SPEAKER").leftJustified(width) + "  " +
              QStringLiteral("SERIAL").leftJustified(serialWidth) + "  OUTCOME");
    for (const Row& row : rows_)
        printLine(row.speaker.path.leftJustified(width) + "  " +
                  row.speaker.serial.leftJustified(serialWidth) + "  " +
                  line(row).mid(pathWidth_ + 2));
}

} // namespace cli
