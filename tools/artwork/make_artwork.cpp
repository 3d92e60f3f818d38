// Renders the updater's pictures from the SVG layers listed in a manifest.
//
//   make_artwork <manifest> <svg-dir> <out-dir>
//
// Manifest lines:  <resource path> <width>x<height> <opaque|overlay|clear> [layer ...]
// A layer is an SVG file of <svg-dir>, drawn at its own size; "file.svg@dx,dy" shifts it.
// "file.svg*px,py@x,y,w,h" repeats it every px by py pixels over that rectangle (the whole
// picture when no rectangle is given), every other row shifted by half a step, as
// punched metal is; Qt Svg has no patterns and no deep <use> nesting.
// Each picture is rendered twice, as 8-bit RGBA PNG <out-dir>/<path>.png and, at twice the
// size from the same vectors for screens of two device pixels a point, <path>@2x.png; each is
// checked against its kind so that an edit cannot silently turn an opaque background see-through.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRegularExpression>
#include <QSvgRenderer>
#include <QTextStream>

#include <cstdio>

namespace {

int fail(const QString& message) {
    std::fprintf(stderr, "make_artwork: %s\n", qPrintable(message));
    return 1;
}

// Returns an empty string when the picture matches its kind, else what is wrong.
QString checkKind(const QImage& image, const QString& kind) {
    bool anyOpaque = false;
    bool anyTransparent = false;
    bool anyVisible = false;
    for (int y = 0; y < image.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int a = qAlpha(line[x]);
            anyOpaque |= a == 255;
            anyTransparent |= a < 255;
            anyVisible |= a > 0;
        }
    }
    if (kind == QLatin1String("opaque"))
        return anyTransparent ? QStringLiteral("has see-through pixels") : QString();
    if (kind == QLatin1String("overlay")) {
        if (!anyTransparent)
            return QStringLiteral("covers the whole page");
        return anyVisible ? QString() : QStringLiteral("is empty");
    }
    if (kind == QLatin1String("clear"))
        return anyVisible ? QStringLiteral("is not fully transparent") : QString();
    return QStringLiteral("unknown kind ") + kind;
}

} // namespace

int main(int argc, char* argv[]) {
    // Text needs a font database, which needs a platform; no display is involved.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 4)
        return fail(QStringLiteral("usage: make_artwork <manifest> <svg-dir> <out-dir>"));

    QFile manifest(QString::fromLocal8Bit(argv[1]));
    if (!manifest.open(QIODevice::ReadOnly | QIODevice::Text))
        return fail(QStringLiteral("cannot read ") + manifest.fileName());
    const QDir svgDir(QString::fromLocal8Bit(argv[2]));
    const QDir outDir(QString::fromLocal8Bit(argv[3]));

    const QRegularExpression sizeRe(QStringLiteral("^(\\d+)x(\\d+)$"));
    const QRegularExpression layerRe(
        QStringLiteral("^([^@*]+)(?:\\*([\\d.]+),([\\d.]+))?(?:@(-?[\\d.]+),(-?[\\d.]+)(?:,([\\d.]+"
                       "),([\\d.]+))?)?$"));
    QTextStream in(&manifest);
    in.setCodec("UTF-8");
    int lineNo = 0;
    int written = 0;
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        ++lineNo;
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QStringList fields = line.split(QRegularExpression(QStringLiteral("\\s+")));
        const QString where = QStringLiteral("%1:%2: ").arg(manifest.fileName()).arg(lineNo);
        const QRegularExpressionMatch size =
            fields.size() >= 3 ? sizeRe.match(fields[1]) : QRegularExpressionMatch();
        if (!size.hasMatch())
            return fail(where + QStringLiteral("expected <path> <w>x<h> <kind> [layers]"));
        const QString path = fields[0];
        const QString kind = fields[2];

        const QSize pictureSize(size.captured(1).toInt(), size.captured(2).toInt());
        for (const int scale : {1, 2}) {
            QImage image(pictureSize * scale, QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            {
                QPainter painter(&image);
                // Layers, offsets and tiles are placed in the picture's points.
                painter.scale(scale, scale);
                painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                                       QPainter::SmoothPixmapTransform);
                for (int i = 3; i < fields.size(); ++i) {
                    const QRegularExpressionMatch layer = layerRe.match(fields[i]);
                    if (!layer.hasMatch())
                        return fail(where + QStringLiteral("bad layer ") + fields[i]);
                    const QString file = svgDir.filePath(layer.captured(1));
                    QSvgRenderer svg(file);
                    if (!svg.isValid())
                        return fail(where + QStringLiteral("cannot render ") + file);
                    const QSizeF own(svg.defaultSize());
                    const QPointF offset(layer.captured(4).toDouble(),
                                         layer.captured(5).toDouble());
                    if (layer.captured(2).isEmpty()) {
                        svg.render(&painter, QRectF(offset, own));
                        continue;
                    }
                    const double px = layer.captured(2).toDouble();
                    const double py = layer.captured(3).toDouble();
                    if (px < 1.0 || py < 1.0)
                        return fail(where + QStringLiteral("tile step below one pixel in ") +
                                    fields[i]);
                    const QRectF area = layer.captured(6).isEmpty()
                                            ? QRectF(offset, QSizeF(pictureSize))
                                            : QRectF(offset, QSizeF(layer.captured(6).toDouble(),
                                                                    layer.captured(7).toDouble()));
                    // Tiles are centred on the grid points; only whole tiles inside the area.
                    int row = 0;
                    for (double y = area.top() + own.height() / 2;
                         y + own.height() / 2 <= area.bottom() + 0.01; y += py, ++row) {
                        const double shift = (row % 2) ? px / 2 : 0.0;
                        for (double x = area.left() + own.width() / 2 + shift;
                             x + own.width() / 2 <= area.right() + 0.01; x += px)
                            svg.render(
                                &painter,
                                QRectF(QPointF(x - own.width() / 2, y - own.height() / 2), own));
                    }
                }
            }
            image = image.convertToFormat(QImage::Format_ARGB32);
            const QString suffix = scale == 1 ? QStringLiteral(".png") : QStringLiteral("@2x.png");
            const QString problem = checkKind(image, kind);
            if (!problem.isEmpty())
                return fail(where + path + suffix + QLatin1Char(' ') + problem);

            const QString outFile = outDir.filePath(path + suffix);
            QDir().mkpath(QFileInfo(outFile).absolutePath());
            if (!image.save(outFile, "PNG"))
                return fail(QStringLiteral("cannot write ") + outFile);
        }
        ++written;
    }
    std::printf("make_artwork: %d pictures, each at 1x and 2x, in %s\n", written,
                qPrintable(outDir.path()));
    return 0;
}
