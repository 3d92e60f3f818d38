// The picture collection: every path the pages name, at its size and opacity, stored as
// 8-bit RGBA PNG without a second compression; and the marks the artwork promises.

#include "tst_art_support.h"

#include <QImageReader>
#include <QLocale>
#include <QResource>
#include <QtTest>

class PicturesTest : public QObject {
    Q_OBJECT

private slots:
    void catalogue_data();
    void catalogue();
    void pathsAreExactAndCaseSensitive();
    void noLanguageVariants();
    void downloadPicturesAreOneImage();
    void artworkMarks();
};

namespace {
enum Kind { Opaque, Overlay, Clear };
}
Q_DECLARE_METATYPE(Kind)

void PicturesTest::catalogue_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<Kind>("kind");
    const QSize page(801, 601);
    QTest::newRow("surface") << ":/icons/transparent-125.125" << QSize(125, 125) << Clear;
    QTest::newRow("icon") << ":/icons/kernoIcon" << QSize(1024, 1024) << Overlay;
    QTest::newRow("0-fond") << ":/Pages2/0-fond" << page << Opaque;
    QTest::newRow("0-fond-0-98") << ":/Pages2/0-fond-0-98" << page << Opaque;
    QTest::newRow("0-fond-99") << ":/Pages2/0-fond-99" << page << Opaque;
    const char* overlays[] = {"1-accueil-1",       "2-accueil-2",       "3-reconnaissance",
                              "4-telechargement-1", "5-telechargement-2", "6-telechargement-3",
                              "7-telechargement-4", "8-99-1",            "9-99-2",
                              "10-99-3",           "11-fin"};
    for (const char* name : overlays)
        QTest::newRow(name) << QStringLiteral(":/Pages2/") + QLatin1String(name) << page << Overlay;
    QTest::newRow("btnReady") << ":/Buttons/btnReady" << QSize(138, 41) << Overlay;
    QTest::newRow("btnDone") << ":/Buttons/btnDone" << QSize(111, 110) << Overlay;
}

void PicturesTest::catalogue() {
    QFETCH(QString, path);
    QFETCH(QSize, size);
    QFETCH(Kind, kind);

    const QResource resource(path);
    QVERIFY2(resource.isValid(), qPrintable(path));
    QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);

    QImageReader reader(path);
    QCOMPARE(reader.format(), QByteArray("png"));
    QCOMPARE(reader.size(), size);
    const QImage image = reader.read();
    QVERIFY(!image.isNull());
    // 8-bit RGBA: the PNG decoder hands out 32-bit ARGB with an alpha channel.
    QCOMPARE(image.format(), QImage::Format_ARGB32);

    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    int opaque = 0, clear = 0;
    for (int y = 0; y < argb.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
        for (int x = 0; x < argb.width(); ++x) {
            opaque += qAlpha(line[x]) == 255;
            clear += qAlpha(line[x]) == 0;
        }
    }
    const int all = size.width() * size.height();
    switch (kind) {
    case Opaque:
        QCOMPARE(opaque, all);
        break;
    case Clear:
        QCOMPARE(clear, all);
        break;
    case Overlay:
        QVERIFY2(clear > 0, "an overlay must let the background through somewhere");
        QVERIFY2(opaque > 0, "an overlay must draw something");
        break;
    }
}

void PicturesTest::pathsAreExactAndCaseSensitive() {
    QVERIFY(QImage(QStringLiteral(":/Pages2/0-fond.png")).isNull());
    QVERIFY(QImage(QStringLiteral(":/pages2/0-fond")).isNull());
    QVERIFY(QImage(QStringLiteral(":/buttons/btnReady")).isNull());
    QVERIFY(QImage(QStringLiteral(":/Pages2/missing")).isNull());
}

void PicturesTest::noLanguageVariants() {
    const QResource plain(QStringLiteral(":/Pages2/0-fond"));
    const QResource french(QStringLiteral(":/Pages2/0-fond"), QLocale(QLocale::French));
    QVERIFY(french.isValid());
    QCOMPARE(french.data(), plain.data());
}

void PicturesTest::downloadPicturesAreOneImage() {
    const QImage first(QStringLiteral(":/Pages2/4-telechargement-1"));
    for (const char* name : {"5-telechargement-2", "6-telechargement-3", "7-telechargement-4"})
        QCOMPARE(QImage(QStringLiteral(":/Pages2/") + QLatin1String(name)), first);
    QVERIFY(QImage(QStringLiteral(":/Pages2/8-99-1")) != QImage(QStringLiteral(":/Pages2/10-99-3")));
}

void PicturesTest::artworkMarks() {
    // Step dots sit at y 585, 22 px apart from x 367.5; the lit one is teal.
    const int dotY = 585;
    const int dotX[] = {371, 393, 415, 437}; // right of each centre, off the highlight
    const QImage progress = QImage(QStringLiteral(":/Pages2/0-fond-0-98")).convertToFormat(QImage::Format_ARGB32);
    for (int i = 0; i < 4; ++i)
        QCOMPARE(art::near(progress.pixel(dotX[i], dotY), art::kTeal, 40), i == 2);
    const QImage last = QImage(QStringLiteral(":/Pages2/0-fond-99")).convertToFormat(QImage::Format_ARGB32);
    QVERIFY(art::near(last.pixel(dotX[3], dotY), art::kTeal, 40));
    // The power symbol's stroke in the middle of the last-percent background.
    QVERIFY(art::near(last.pixel(401, 235), art::kTeal, 10));

    // Rings around the middle: dark outside and teal inside, then all teal.
    const QImage ring1 = QImage(QStringLiteral(":/Pages2/8-99-1")).convertToFormat(QImage::Format_ARGB32);
    const QImage ring3 = QImage(QStringLiteral(":/Pages2/10-99-3")).convertToFormat(QImage::Format_ARGB32);
    const QPoint outer(401 + 92, 261), inner(401 + 74, 261);
    QVERIFY(art::near(ring1.pixel(inner), art::kTeal, 10));
    QVERIFY(qGreen(ring1.pixel(outer)) < 80 && qAlpha(ring1.pixel(outer)) == 255);
    QVERIFY(art::near(ring3.pixel(inner), art::kTeal, 10));
    QVERIFY(art::near(ring3.pixel(outer), art::kTeal, 10));

    // The ready button: teal outline, black inside, white lettering, last row and column empty.
    const QImage ready = QImage(QStringLiteral(":/Buttons/btnReady")).convertToFormat(QImage::Format_ARGB32);
    QVERIFY(art::near(ready.pixel(68, 1), art::kTeal, 10));
    QVERIFY(art::near(ready.pixel(20, 20), QColor(0, 0, 0), 0));
    int white = 0;
    for (int x = 30; x < 108; ++x)
        for (int y = 12; y < 30; ++y)
            white += art::near(ready.pixel(x, y), QColor(255, 255, 255), 10);
    QVERIFY2(white > 60, qPrintable(QString::number(white)));
    for (int y = 0; y < 41; ++y)
        QCOMPARE(qAlpha(ready.pixel(137, y)), 0);
    for (int x = 0; x < 138; ++x)
        QCOMPARE(qAlpha(ready.pixel(x, 40)), 0);

    // The quit button: an open ring, teal at the bottom, open at the top.
    const QImage done = QImage(QStringLiteral(":/Buttons/btnDone")).convertToFormat(QImage::Format_ARGB32);
    QVERIFY(art::near(done.pixel(55, 101), art::kTeal, 10));
    QVERIFY(art::near(done.pixel(9, 55), art::kTeal, 10));
    QCOMPARE(qAlpha(done.pixel(55, 9)), 0);
}

QTEST_MAIN(PicturesTest)
#include "tst_pictures.moc"
