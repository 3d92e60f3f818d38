#include "AnimatedPhrasesChoc.h"

#include <QPainter>
#include <QTimerEvent>

namespace {
const int kTextFlags = Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap;
// Rows a strip holds beyond the band: a new strip every 5 s of scrolling.
const int kStripLead = 100;
} // namespace

AnimatedPhrasesChoc::AnimatedPhrasesChoc(QWidget* parent, Qt::WindowFlags f) : QLabel(parent, f) {}

AnimatedPhrasesChoc::AnimatedPhrasesChoc(const QString& label, QWidget* parent, Qt::WindowFlags f)
    : QLabel(label, parent, f) {}

void AnimatedPhrasesChoc::setPhrases(const QStringList& phrases) {
    text = phrases.join(QStringLiteral("\n\n\n\n"));
    dirty = true;
    update();
}

void AnimatedPhrasesChoc::start() {
    if (timerId)
        killTimer(timerId);
    timerId = startTimer(50, Qt::CoarseTimer);
}

void AnimatedPhrasesChoc::stop() {
    if (timerId)
        killTimer(timerId);
    timerId = 0;
}

void AnimatedPhrasesChoc::timerEvent(QTimerEvent* event) {
    if (timerId == 0 || event->timerId() != timerId)
        return;
    update();
    offset += 1;
    if (offset > limit)
        offset = 0;
}

void AnimatedPhrasesChoc::hideEvent(QHideEvent* event) {
    QLabel::hideEvent(event);
    pixmap = QPixmap();
}

// The text picture has a blank band of the widget's height above and below the text,
// so that the text enters from the bottom and leaves at the top.
void AnimatedPhrasesChoc::layoutText() {
    const int w = width();
    const int h = height();
    QRect b;
    {
        QPainter probe(this);
        textFont = probe.font();
        // Measured without a height limit: the text is never cut.
        b = probe.boundingRect(QRect(0, 0, w, 15000), kTextFlags, text);
    }
    const int textHeight = b.bottom() - b.top() + 1;
    bandHeight = h;
    limit = h + textHeight;
    offset = 0;
    pixRect = QRect(QPoint(0, 0), QPoint(w - 1, b.bottom() + 2 * h));
    textRect = QRect(QPoint(0, h), QPoint(w - 1, h + b.bottom()));
    pixmap = QPixmap();
}

// The rows from `offset` on, drawn by the same call as the whole picture would be, moved
// up by whole pixels: the glyphs land on the same pixels. At the screen's pixel ratio, so that
// the text is as sharp as the screen.
void AnimatedPhrasesChoc::renderStrip() {
    stripTop = offset;
    const int rows = qMin(bandHeight + kStripLead, pixRect.height() - stripTop);
    const qreal ratio = devicePixelRatioF();
    pixmap = QPixmap(QSize(pixRect.width(), rows) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setPen(QColor(255, 255, 255));
    painter.setFont(textFont);
    painter.translate(0, -stripTop);
    painter.drawText(textRect, kTextFlags, text);
}

void AnimatedPhrasesChoc::paintEvent(QPaintEvent*) {
    if (dirty) {
        layoutText();
        dirty = false;
    }
    if (pixRect.isEmpty())
        return;
    // The size of the last layout holds until the next setPhrases.
    const QRect window(0, offset, pixRect.width(), bandHeight);
    if (pixmap.isNull() || pixmap.devicePixelRatioF() != devicePixelRatioF() ||
        window.top() < stripTop ||
        window.bottom() >= stripTop + qRound(pixmap.height() / pixmap.devicePixelRatioF()))
        renderStrip();
    QPainter painter(this);
    // The source rectangle is in the strip's own pixels.
    const qreal ratio = pixmap.devicePixelRatioF();
    const QRectF source = window.translated(0, -stripTop);
    painter.drawPixmap(QRectF(QPointF(0, 0), window.size()), pixmap,
                       QRectF(source.topLeft() * ratio, source.size() * ratio));
}
