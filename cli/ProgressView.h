// What flash and reset show: a bar per speaker on a terminal, plain lines
// otherwise, or one JSON object per event; then a table of outcomes.
#pragma once

#include "Cli.h"

#include <QElapsedTimer>
#include <QStringList>

namespace cli {

class ProgressView {
public:
    enum Style { Bars, Lines, Json };

    // imageBytes: what is written to each speaker (0: restart only).
    ProgressView(Style style, const QVector<Speaker>& speakers, qint64 imageBytes);

    void progressed(int row, int percent);
    void restarting(int row);
    void finished(int row, int outcome, int code, const QString& error);
    // The table of outcomes, or their counts for the JSON summary.
    void summary();

private:
    struct Row {
        Speaker speaker;
        QElapsedTimer started;
        int percent = -1;
        QString state = QStringLiteral("waiting");
        int outcome = -1, code = 0;
        QString error;
    };
    QString line(const Row& row) const;
    QString rateAndLeft(const Row& row, double* bytesPerSecond, qint64* secondsLeft) const;
    void event(const Row& row, const QString& name, QJsonObject fields = {});
    void draw(bool now);

    const Style style_;
    const qint64 imageBytes_;
    QVector<Row> rows_;
    int pathWidth_ = 0;
    bool drawn_ = false;
    QElapsedTimer lastDraw_;
};

} // namespace cli
