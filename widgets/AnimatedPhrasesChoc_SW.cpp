#include "AnimatedPhrasesChoc_SW.h"

#include "HighDpi.h"

#include <QMoveEvent>
#include <QtMath>

#include <cmath>

namespace {

const QString kBackground = QStringLiteral(":/Pages2/0-fond");
const QPainter::RenderHints kHints =
    QPainter::Antialiasing | QPainter::TextAntialiasing | QPainter::SmoothPixmapTransform;

} // namespace

AnimatedPhrasesChoc_SW::AnimatedPhrasesChoc_SW(QWidget* parent, Qt::WindowFlags f)
    : AnimatedPhrasesChoc_SW(QString(), parent, f) {}

// Measured justified, drawn centred: both wrap at the same width.
AnimatedPhrasesChoc_SW::AnimatedPhrasesChoc_SW(const QString& label, QWidget* parent,
                                               Qt::WindowFlags f)
    : PhraseBand(label, parent, f,
                 {QStringLiteral("\n"), Qt::AlignJustify | Qt::AlignTop | Qt::TextWordWrap,
                  QColor(220, 182, 81), kHints, 2}) {}

int AnimatedPhrasesChoc_SW::pixelRatio() const {
    return qMax(1, qCeil(devicePixelRatioF()));
}

QTransform AnimatedPhrasesChoc_SW::crawlTransform(int width) {
    const int w2 = width / 2;
    const QTransform project(1, 0, 0, 0, 1, -0.004, -w2, 0, 1);
    return project * QTransform::fromScale(0.8, 0.5) * QTransform::fromTranslate(w2, 0);
}

QImage AnimatedPhrasesChoc_SW::makeFadeImage(const QImage& fadeSource) {
    if (fadeSource.isNull())
        return QImage();
    const QImage source = fadeSource.convertToFormat(QImage::Format_ARGB32);
    QImage fade(source.size(), QImage::Format_ARGB32);
    const int h2 = source.height();
    const int w = source.width();
    for (int y = 0; y < h2; ++y) {
        const double a = double(h2 - y) / h2;
        const int alpha = int(a * 255);
        const QRgb* in = reinterpret_cast<const QRgb*>(source.constScanLine(y));
        QRgb* out = reinterpret_cast<QRgb*>(fade.scanLine(y));
        for (int x = 0; x < w; ++x)
            out[x] = qRgba(qRed(in[x]), qGreen(in[x]), qBlue(in[x]), alpha);
    }
    return fade;
}

// The strip of page background behind the upper half of the band, faded, at the pixel ratio
// of the background's picture. The background and the strip are decoded and cut only for the
// time it takes to build it.
void AnimatedPhrasesChoc_SW::buildFade() {
    const int h2 = height() / 2;
    const QImage background = HighDpi::image(kBackground, devicePixelRatioF());
    const int r = qRound(background.devicePixelRatio());
    fadeImage = background.isNull()
                    ? QImage()
                    : makeFadeImage(background.copy(QRect(pos() * r, QSize(width(), h2) * r)));
    fadeImage.setDevicePixelRatio(r);
    fadeBuilt = true;
}

void AnimatedPhrasesChoc_SW::moveEvent(QMoveEvent* event) {
    QLabel::moveEvent(event);
    buildFade();
}

void AnimatedPhrasesChoc_SW::hideEvent(QHideEvent* event) {
    PhraseBand::hideEvent(event);
    frame = QImage();
}

namespace {

// Per-channel blend of two premultiplied pixels, w in 0..256.
inline QRgb mix(QRgb p, QRgb q, uint w) {
    const uint rb = (((p & 0xff00ff) * (256 - w) + (q & 0xff00ff) * w) >> 8) & 0xff00ff;
    const uint ag = (((p >> 8) & 0xff00ff) * (256 - w) + ((q >> 8) & 0xff00ff) * w) & 0xff00ff00;
    return rb | ag;
}

} // namespace

// The window of the text picture at `offset`, seen through the crawl transform
// with bilinear sampling. Along one band row the transform is a plain scale
// about the centre column, so each row is one resampled source row: about four
// times cheaper than a painter's general projective path. Frame and strip have the
// same pixel ratio r: the transform works in points, the sampling in pixels.
void AnimatedPhrasesChoc_SW::renderCrawl() {
    const int r = qRound(strip.devicePixelRatio());
    if (frame.size() != size() * r)
        frame = QImage(size() * r, QImage::Format_ARGB32_Premultiplied);
    frame.setDevicePixelRatio(r);
    frame.fill(Qt::transparent);
    const QTransform inverse = QTransform::fromScale(1.0 / r, 1.0 / r) *
                               crawlTransform(width()).inverted() * QTransform::fromScale(r, r);
    const int srcW = strip.width();
    const int srcH = bandHeight * r;
    auto clampX = [srcW](int x) { return qBound(0, x, srcW - 1); };
    for (int y = 0; y < frame.height(); ++y) {
        const QPointF a = inverse.map(QPointF(0.5, y + 0.5));
        const QPointF b = inverse.map(QPointF(1.5, y + 0.5));
        const double sy = a.y() - 0.5;
        if (sy < -0.5 || sy > srcH - 0.5)
            continue;
        const int y0 = int(std::floor(sy));
        const uint wy = uint((sy - y0) * 256);
        const int top = (offset - stripTop) * r;
        const QRgb* row0 =
            reinterpret_cast<const QRgb*>(strip.constScanLine(top + qBound(0, y0, srcH - 1)));
        const QRgb* row1 =
            reinterpret_cast<const QRgb*>(strip.constScanLine(top + qBound(0, y0 + 1, srcH - 1)));
        QRgb* out = reinterpret_cast<QRgb*>(frame.scanLine(y));
        // Source column in 16.16 fixed point, stepped across the row.
        const double dx = b.x() - a.x();
        const double sx0 = a.x() - 0.5;
        const int first = qMax(0, int(std::ceil((-0.5 - sx0) / dx)));
        const int last = qMin(frame.width() - 1, int(std::floor((srcW - 0.5 - sx0) / dx)));
        const qint64 step = qRound64(dx * 65536);
        qint64 sx = qRound64((sx0 + first * dx) * 65536);
        for (int x = first; x <= last; ++x, sx += step) {
            const int x0 = int(sx >> 16);
            const int c0 = clampX(x0), c1 = clampX(x0 + 1);
            const QRgb p00 = row0[c0], p01 = row0[c1], p10 = row1[c0], p11 = row1[c1];
            if ((p00 | p01 | p10 | p11) == 0)
                continue; // most of the band is blank
            const uint wx = uint(sx >> 8) & 0xff;
            out[x] = mix(mix(p00, p01, wx), mix(p10, p11, wx), wy);
        }
    }
}

void AnimatedPhrasesChoc_SW::paintEvent(QPaintEvent*) {
    const bool laidOut = layOut();
    // Rendered before any move event (e.g. grabbed while hidden), or moved to a screen of
    // another pixel ratio: build it now.
    if (!fadeBuilt || (!fadeImage.isNull() &&
                       fadeImage.devicePixelRatio() != HighDpi::pictureRatio(devicePixelRatioF())))
        buildFade();
    if (laidOut) {
        coverBand(pixelRatio());
        renderCrawl();
        QPainter painter(this);
        painter.setRenderHints(kHints);
        painter.drawImage(0, 0, frame);
    }
    if (!fadeImage.isNull()) {
        QPainter painter(this);
        painter.setRenderHints(kHints);
        painter.drawImage(0, 0, fadeImage);
    }
}
