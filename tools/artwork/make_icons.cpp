// Renders the application icon at the sizes of the hicolor icon theme.
//
//   make_icons <svg> <out-dir> <name> <size>...
//
// writes <out-dir>/<size>x<size>/apps/<name>.png for each size, drawn from the
// vector source at that size rather than scaled down from a large picture.

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>

int main(int argc, char* argv[]) {
    // Text needs a font database, which needs a platform; no display is involved.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc < 5) {
        std::fprintf(stderr, "usage: make_icons <svg> <out-dir> <name> <size>...\n");
        return 1;
    }
    QSvgRenderer svg(QString::fromLocal8Bit(argv[1]));
    if (!svg.isValid()) {
        std::fprintf(stderr, "make_icons: cannot render %s\n", argv[1]);
        return 1;
    }
    const QDir outDir(QString::fromLocal8Bit(argv[2]));
    for (int i = 4; i < argc; ++i) {
        const int size = QByteArray(argv[i]).toInt();
        if (size <= 0 || size > 1024) {
            std::fprintf(stderr, "make_icons: bad size %s\n", argv[i]);
            return 1;
        }
        const QString dir = QStringLiteral("%1x%1/apps").arg(size);
        const QString file = outDir.filePath(
            dir + QLatin1Char('/') + QString::fromLocal8Bit(argv[3]) + QStringLiteral(".png"));
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                               QPainter::SmoothPixmapTransform);
        svg.render(&painter, QRectF(0, 0, size, size));
        painter.end();
        if (!outDir.mkpath(dir) ||
            !image.convertToFormat(QImage::Format_ARGB32).save(file, "PNG")) {
            std::fprintf(stderr, "make_icons: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
