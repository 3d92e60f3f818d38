#include "AnimatedPhrasesChoc.h"

AnimatedPhrasesChoc::AnimatedPhrasesChoc(QWidget* parent, Qt::WindowFlags f)
    : AnimatedPhrasesChoc(QString(), parent, f) {}

AnimatedPhrasesChoc::AnimatedPhrasesChoc(const QString& label, QWidget* parent, Qt::WindowFlags f)
    : PhraseBand(label, parent, f,
                 {QStringLiteral("\n\n\n\n"), Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap,
                  QColor(255, 255, 255), QPainter::RenderHints(), 1}) {}

void AnimatedPhrasesChoc::paintEvent(QPaintEvent*) {
    if (!layOut())
        return;
    coverBand(devicePixelRatioF());
    QPainter painter(this);
    // The source rectangle is in the strip's own pixels.
    const qreal ratio = strip.devicePixelRatio();
    const QRectF window(0, offset - stripTop, pixRect.width(), bandHeight);
    painter.drawImage(QRectF(QPointF(0, 0), window.size()), strip,
                      QRectF(window.topLeft() * ratio, window.size() * ratio));
}
