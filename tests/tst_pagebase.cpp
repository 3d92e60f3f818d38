// The bitmap button and the dialog's way of showing a page.
#include "AnimatedSequence.h"
#include "BitmapPushButton.h"
#include "DialogAccess.h"
#include "FakeHidDfu.h"

#include <QPainter>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A picture file of `size` filled with `colour`.
QString pictureFile(const QTemporaryDir& dir, const QString& name, QSize size, QColor colour) {
    QImage image(size, QImage::Format_ARGB32);
    image.fill(colour);
    const QString path = dir.filePath(name + ".png");
    image.save(path);
    return path;
}

QImage render(QWidget& widget) {
    QImage image(widget.size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

} // namespace

class PageBaseTest : public QObject {
    Q_OBJECT

private slots:
    void buttonWithoutPictureIsInvisibleButClickable() {
        QWidget window;
        BitmapPushButton button(QStringLiteral("texte"), &window);
        button.setGeometry(10, 10, 60, 30);
        window.resize(100, 60);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QImage image = render(button);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                QCOMPARE(qAlpha(image.pixel(x, y)), 0);

        QSignalSpy clicked(&button, &QPushButton::clicked);
        QTest::mouseClick(&button, Qt::LeftButton);
        button.setFocus();
        QTest::keyClick(&button, Qt::Key_Space);
        QCOMPARE(clicked.count(), 2);
    }

    void pictureIsClippedNotScaledAndReplaced() {
        QTemporaryDir dir;
        // Red with a blue last column and row: scaling would bring blue in.
        QImage edged(138, 41, QImage::Format_ARGB32);
        edged.fill(Qt::red);
        for (int y = 0; y < 41; ++y)
            edged.setPixel(137, y, qRgb(0, 0, 255));
        for (int x = 0; x < 138; ++x)
            edged.setPixel(x, 40, qRgb(0, 0, 255));
        const QString big = dir.filePath("big.png");
        QVERIFY(edged.save(big));
        const QString small = pictureFile(dir, "small", QSize(20, 20), Qt::blue);
        BitmapPushButton button(nullptr);
        button.resize(137, 40);
        button.setPixmap(big);
        QImage image = render(button);
        for (int y = 0; y < 40; ++y)
            for (int x = 0; x < 137; ++x)
                QCOMPARE(image.pixel(x, y), qRgb(255, 0, 0));

        // Pressed or disabled: the same picture, nothing else drawn.
        button.setDown(true);
        button.setEnabled(false);
        QCOMPARE(render(button), image);

        button.setPixmap(small);
        image = render(button);
        QCOMPARE(image.pixel(5, 5), qRgb(0, 0, 255));
        QCOMPARE(qAlpha(image.pixel(30, 30)), 0);

        button.setPixmap(dir.filePath("missing.png"));
        image = render(button);
        QCOMPARE(qAlpha(image.pixel(5, 5)), 0);
    }

    void showingAPageResetsItFirst() {
        FakeHidDfu::install();
        KernoTindalUpdateDlg dialog;
        KernoTindalUpdateDlgTest m(dialog);
        m.stopStepTimer();
        m.step();
        dialog.show();
        QApplication::setActiveWindow(&dialog);
        QVERIFY(QTest::qWaitForWindowActive(&dialog));

        // The page in front when the welcome page's pictures restart.
        QList<QWidget*> inFrontAtReset;
        auto* anim = m.welcomePage()->findChild<AnimatedSequence*>("pAnim");
        QObject::connect(anim, &AnimatedSequence::starting,
                         [&] { inFrontAtReset << m.currentPage(); });
        const auto modifiers = Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier;
        QTest::keyClick(&dialog, Qt::Key_2, modifiers);
        QTest::keyClick(&dialog, Qt::Key_1, modifiers);
        QTest::keyClick(&dialog, Qt::Key_Z, modifiers); // same page twice in a row
        QCOMPARE(inFrontAtReset, (QList<QWidget*>{m.connectPage(), m.welcomePage()}));
        QCOMPARE(m.currentPage(), m.welcomePage());
        FakeHidDfu::uninstall();
    }
};

QTEST_MAIN(PageBaseTest)
#include "tst_pagebase.moc"
