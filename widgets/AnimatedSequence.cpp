#include "AnimatedSequence.h"

#include "HighDpi.h"

#include <QImageReader>
#include <QPaintEvent>
#include <QPainter>
#include <QResource>
#include <QTimerEvent>

namespace {

const QString kDefaultPicture = QStringLiteral(":/Pages2/0-fond");

// Premultiplied pixels compose several times faster; what is shown is the same.
QImage loadPicture(const QString& path, qreal devicePixelRatio) {
    return HighDpi::image(path, devicePixelRatio)
        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// Rows per band when a picture is cut into tiles, and the widest run of clear columns
// that a tile spans rather than being split in two.
constexpr int kBandRows = 16;
constexpr int kClearGap = 64;

// Cuts the fully transparent parts away (drawing them changes nothing: a clear
// premultiplied pixel leaves what is under it as it was, at any opacity). A picture
// without any transparency stays whole and is marked as such, so that it is copied
// rather than blended. Tiles of a picture of r pixels a point are cut on whole points, so that
// they land on the same pixels as the whole picture would; offsets and bounds are in points.
AnimatedSequence::Layer tiled(QImage picture) {
    AnimatedSequence::Layer layer;
    if (picture.isNull())
        return layer;
    const int w = picture.width(), h = picture.height();
    const int r = qRound(picture.devicePixelRatio());
    bool opaque = true;
    for (int y = 0; y < h && opaque; ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(picture.constScanLine(y));
        for (int x = 0; x < w && opaque; ++x)
            opaque = qAlpha(line[x]) == 255;
    }
    if (opaque) {
        layer.bounds = QRect(0, 0, w / r, h / r);
        layer.tiles.append({std::move(picture).convertToFormat(QImage::Format_RGB32), QPoint()});
        return layer;
    }
    QVector<int> inkTop(w), inkBottom(w); // per column, within the band
    for (int y0 = 0; y0 < h; y0 += kBandRows) {
        const int y1 = qMin(h, y0 + kBandRows);
        inkTop.fill(y1);
        inkBottom.fill(-1);
        for (int y = y0; y < y1; ++y) {
            const QRgb* line = reinterpret_cast<const QRgb*>(picture.constScanLine(y));
            for (int x = 0; x < w; ++x)
                if (qAlpha(line[x])) {
                    inkTop[x] = qMin(inkTop[x], y);
                    inkBottom[x] = y;
                }
        }
        for (int x = 0; x < w;) {
            if (inkBottom[x] < 0) {
                ++x;
                continue;
            }
            const int left = x;
            int right = x, top = inkTop[x], bottom = inkBottom[x];
            for (++x; x < w && x - right <= kClearGap; ++x)
                if (inkBottom[x] >= 0) {
                    right = x;
                    top = qMin(top, inkTop[x]);
                    bottom = qMax(bottom, inkBottom[x]);
                }
            x = right + 1;
            const QRect part(QPoint(left - left % r, top - top % r),
                             QPoint(qMin(w - 1, right + r - 1 - right % r),
                                    qMin(h - 1, bottom + r - 1 - bottom % r)));
            const QRect points(part.topLeft() / r, part.size() / r);
            layer.tiles.append({picture.copy(part), points.topLeft()});
            layer.bounds |= points;
        }
    }
    return layer;
}

QByteArray encodedSource(const QString& path) {
    const QResource resource(path);
    if (!resource.isValid() || !resource.data())
        return QByteArray();
    return QByteArray::fromRawData(reinterpret_cast<const char*>(resource.data()),
                                   int(resource.size()));
}

} // namespace

// Decoded on first use while shown. A picture encoded like one already decoded (the
// progress page's four are one image) shares its layer without being decoded again.
// A screen of another pixel ratio (the window moved) decodes them again.
AnimatedSequence::Layer AnimatedSequence::picture(const QString& path) {
    const QString name = path.isEmpty() ? kDefaultPicture : path;
    const int ratio = HighDpi::pictureRatio(devicePixelRatioF());
    if (ratio != decodedRatio) {
        decoded.clear();
        decodedRatio = ratio;
    }
    const auto known = decoded.constFind(name);
    if (known != decoded.constEnd())
        return *known;
    const QByteArray source = encodedSource(HighDpi::pathFor(name, ratio));
    if (!source.isEmpty())
        for (const Layer& other : qAsConst(decoded))
            if (other.source == source)
                return *decoded.insert(name, other);
    Layer loaded = tiled(loadPicture(name, ratio));
    loaded.source = source;
    return *decoded.insert(name, loaded);
}

CrossfadeStep::CrossfadeStep(const QString& from, int duration, int tickCount, const QString& to)
    : from(from), duration(duration), tickCount(tickCount), to(to),
      interval(tickCount > 0 ? duration / tickCount : duration),
      opacityStep(tickCount > 0 ? 1.0 / tickCount : 1.0) {}

AnimatedSequence::AnimatedSequence(QWidget* parent, Qt::WindowFlags f)
    : AnimatedSequence(QString(), parent, f) {}

AnimatedSequence::AnimatedSequence(const QString& text, QWidget* parent, Qt::WindowFlags f)
    : QLabel(text, parent, f) {
    const QSize pictureSize = QImageReader(kDefaultPicture).size();
    pictureArea = QRect(QPoint(0, 0), pictureSize.isValid() ? pictureSize : QSize(801, 601));
}

void AnimatedSequence::start() {
    if (timerId)
        killTimer(timerId);
    timerId = 0;
    if (sequence.steps.isEmpty())
        return;
    loadStep(0);
    startTimerFor(currentStep);
    // Show step 0 now, not one interval later, when the page is already on screen.
    update();
    emit starting();
}

void AnimatedSequence::stop() {
    if (timerId)
        killTimer(timerId);
    timerId = 0;
}

void AnimatedSequence::setBackground(const QString& path) {
    background = path;
    backgroundChanged = true;
}

void AnimatedSequence::loadStep(int index) {
    opacityFrom = 1.0;
    opacityTo = 0.0;
    stepIndex = index;
    currentStep = sequence.steps.at(index);
}

void AnimatedSequence::startTimerFor(const CrossfadeStep& step) {
    timerId = startTimer(step.interval, Qt::CoarseTimer);
}

void AnimatedSequence::hideEvent(QHideEvent* event) {
    QLabel::hideEvent(event);
    decoded.clear();
}

void AnimatedSequence::timerEvent(QTimerEvent* event) {
    if (event->timerId() != timerId || timerId == 0)
        return;
    // Only the step's pictures change between two ticks: recomposing just their
    // area keeps the fast swings cheap.
    QRect dirty = stepPicturesRect();
    currentStep.tickCount -= 1;
    opacityFrom -= currentStep.opacityStep;
    opacityTo += currentStep.opacityStep;
    if (backgroundChanged) {
        backgroundChanged = false;
        dirty = rect();
    }
    update(dirty);
    if (currentStep.tickCount >= 0)
        return;
    stepIndex += 1;
    if (stepIndex < sequence.steps.size()) {
        killTimer(timerId);
        loadStep(stepIndex);
        startTimerFor(currentStep);
        update(stepPicturesRect());
    } else if (sequence.loop()) {
        start();
        emit finished();
    } else {
        stop();
        emit finished();
    }
}

QRect AnimatedSequence::stepPicturesRect() {
    // Hidden, nothing is repainted, and nothing is decoded for it.
    if (!isVisible())
        return rect();
    return picture(currentStep.from).bounds | picture(currentStep.to).bounds;
}

// Composed straight onto the window: a frame of its own would hold another page-sized
// picture for each page.
void AnimatedSequence::paintEvent(QPaintEvent*) {
    if (isRunning())
        shown = Frame{background, currentStep.from, currentStep.to, opacityFrom, opacityTo};
    if (!shown)
        return;
    const Layer back = picture(shown->background);
    const Layer from = picture(shown->from);
    const Layer to = picture(shown->to);
    QPainter painter(this);
    if (!pictureArea.contains(rect()))
        painter.setClipRect(pictureArea);
    for (const Layer::Tile& tile : back.tiles)
        painter.drawImage(tile.offset, tile.image);
    painter.setOpacity(qBound(0.0, shown->opacityFrom, 1.0));
    for (const Layer::Tile& tile : from.tiles)
        painter.drawImage(tile.offset, tile.image);
    painter.setOpacity(qBound(0.0, shown->opacityTo, 1.0));
    for (const Layer::Tile& tile : to.tiles)
        painter.drawImage(tile.offset, tile.image);
}
