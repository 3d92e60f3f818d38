#include "PhraseBand.h"

#include <QTimerEvent>

namespace {
// Rows a strip holds beyond the band: a new strip every 5 s of moving.
const int kStripLead = 100;
} // namespace

PhraseBand::PhraseBand(const QString& label, QWidget* parent, Qt::WindowFlags f, const Look& look)
    : QLabel(label, parent, f), look(look) {}

void PhraseBand::setPhrases(const QStringList& phrases) {
    text = phrases.join(look.separator);
    dirty = true;
    update();
}

void PhraseBand::start() {
    stop();
    timerId = startTimer(50, Qt::CoarseTimer);
}

void PhraseBand::stop() {
    if (timerId)
        killTimer(timerId);
    timerId = 0;
}

void PhraseBand::timerEvent(QTimerEvent* event) {
    if (timerId == 0 || event->timerId() != timerId)
        return;
    update();
    offset += 1;
    if (offset > limit)
        offset = 0;
}

void PhraseBand::hideEvent(QHideEvent* event) {
    QLabel::hideEvent(event);
    strip = QImage();
}

// The text picture has a blank band of the widget's height below the text and some above it,
// so that the text enters from the bottom and leaves at the top.
bool PhraseBand::layOut() {
    if (dirty) {
        dirty = false;
        const int w = width();
        const int h = height();
        QRect b;
        {
            QPainter probe(this);
            probe.setRenderHints(look.hints);
            textFont = probe.font();
            // Measured without a height limit: the text is never cut.
            b = probe.boundingRect(QRect(0, 0, w, 15000), look.measureFlags, text);
        }
        bandHeight = h;
        limit = h + b.bottom() - b.top() + 1;
        offset = 0;
        const int top = h / look.textTopBands;
        pixRect = QRect(QPoint(0, 0), QPoint(w - 1, b.bottom() + 2 * h));
        textRect = QRect(QPoint(0, top), QPoint(w - 1, b.bottom() + top));
        strip = QImage();
    }
    return !pixRect.isEmpty();
}

// The rows from `offset` on, drawn by the same call as the whole picture would be, moved
// up by whole pixels: the glyphs land on the same pixels. The size of the last layout holds
// until the next setPhrases.
void PhraseBand::coverBand(qreal ratio) {
    if (!strip.isNull() && strip.devicePixelRatio() == ratio && offset >= stripTop &&
        offset + bandHeight <= stripTop + qRound(strip.height() / ratio))
        return;
    stripTop = offset;
    const int rows = qMin(bandHeight + kStripLead, pixRect.height() - stripTop);
    strip = QImage(QSize(pixRect.width(), rows) * ratio, QImage::Format_ARGB32_Premultiplied);
    strip.setDevicePixelRatio(ratio);
    strip.fill(Qt::transparent);
    QPainter painter(&strip);
    painter.setPen(look.colour);
    painter.setFont(textFont);
    painter.setRenderHints(look.hints);
    painter.translate(0, -stripTop);
    painter.drawText(textRect, Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, text);
}
