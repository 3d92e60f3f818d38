#include "HighDpi.h"

#include <QFileInfo>
#include <QLabel>
#include <QVariant>

namespace HighDpi {

namespace {
// The design's boxes and fonts were drawn for this screen resolution.
constexpr qreal kDesignDpi = 96.0;
// Below this a text is no longer readable: cut rather than shrunk further.
constexpr int kSmallestPixelSize = 6;

// The design's font of a label, kept from its first fitting: a shorter text gets it back.
const char kDesignPixelSize[] = "kernoDesignPixelSize";

int advance(const QFontMetrics& metrics, const QString& text) {
#if QT_VERSION >= QT_VERSION_CHECK(5, 11, 0)
    return metrics.horizontalAdvance(text);
#else
    return metrics.width(text);
#endif
}

} // namespace

int pictureRatio(qreal devicePixelRatio) {
    return devicePixelRatio > 1.0 ? 2 : 1;
}

QString pathFor(const QString& path, int ratio) {
    if (ratio == 1)
        return path;
    const QString scaled = path + QStringLiteral("@2x");
    return QFileInfo::exists(scaled) ? scaled : path;
}

namespace {
template <class Picture> Picture load(const QString& path, qreal devicePixelRatio) {
    const QString chosen = pathFor(path, pictureRatio(devicePixelRatio));
    Picture picture(chosen);
    if (chosen != path)
        picture.setDevicePixelRatio(2);
    return picture;
}
} // namespace

QImage image(const QString& path, qreal devicePixelRatio) {
    return load<QImage>(path, devicePixelRatio);
}

QPixmap pixmap(const QString& path, qreal devicePixelRatio) {
    return load<QPixmap>(path, devicePixelRatio);
}

void pinFontsToPixels(QWidget* widget) {
    QList<QWidget*> widgets = widget->findChildren<QWidget*>();
    widgets.prepend(widget);
    for (QWidget* w : qAsConst(widgets)) {
        QFont font = w->font();
        if (font.pointSizeF() <= 0)
            continue; // already in pixels
        font.setPixelSize(qMax(1, qRound(font.pointSizeF() * kDesignDpi / 72.0)));
        w->setFont(font);
    }
}

void fitFontToBox(QLabel* label) {
    QFont font = label->font();
    if (!label->property(kDesignPixelSize).isValid())
        label->setProperty(kDesignPixelSize,
                           font.pixelSize() > 0 ? font.pixelSize() : QFontInfo(font).pixelSize());
    const QSize box = label->contentsRect().size();
    const QString text = label->text();
    for (int size = label->property(kDesignPixelSize).toInt();; --size) {
        font.setPixelSize(size);
        const QFontMetrics metrics(font, label);
        if (size <= kSmallestPixelSize ||
            (metrics.height() <= box.height() && advance(metrics, text) <= box.width()))
            break;
    }
    label->setFont(font);
}

} // namespace HighDpi
