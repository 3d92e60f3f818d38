#include "HidDfuDllInitFailedDlg.h"

#include <QCommandLinkButton>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTextDocument>
#include <QtTest>

class HidDfuDllInitFailedDlgTest : public QObject {
    Q_OBJECT

public slots:
    // Stands in for the desktop's browser.
    void openUrl(const QUrl& url) { openedUrls.append(url); }

private slots:
    void init();
    void cleanup();
    void showsTheApologyAndTheDownloadLink();
    void escapeAndAbortReject();
    void commandLinkOpensTheHomePageEveryClickAndStaysOpen();

private:
    QList<QUrl> openedUrls;
};

void HidDfuDllInitFailedDlgTest::init() {
    openedUrls.clear();
    QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "openUrl");
    QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "openUrl");
}

void HidDfuDllInitFailedDlgTest::cleanup() {
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
}

void HidDfuDllInitFailedDlgTest::showsTheApologyAndTheDownloadLink() {
    HidDfuDllInitFailedDlg dlg(nullptr);
    QCOMPARE(dlg.windowTitle(), QStringLiteral("Erreur d'initialisation"));

    auto* label = dlg.findChild<QLabel*>(QStringLiteral("label"));
    QVERIFY(label);
    QTextDocument doc;
    doc.setHtml(label->text());
    const QStringList lines = doc.toPlainText().split(QLatin1Char('\n'));
    QVERIFY2(lines.contains(QStringLiteral(
                 "Désolé, un problème est survenu lors de l'initialisation de l'application.")),
             qPrintable(doc.toPlainText()));
    QVERIFY(lines.contains(QStringLiteral(
        "Veuilez la télécharger à nouveau en cliquant sur le bouton ci dessous :")));

    auto* link = dlg.findChild<QCommandLinkButton*>(QStringLiteral("commandLinkButton"));
    QVERIFY(link);
    QCOMPARE(link->text(), QStringLiteral("Site de téléchargement Quillon"));

    // Abort is the only way out besides Escape: nothing can accept the dialog.
    auto* box = dlg.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    QVERIFY(box);
    QCOMPARE(box->buttons().size(), 1);
    QCOMPARE(box->standardButtons(), QDialogButtonBox::StandardButtons(QDialogButtonBox::Abort));
}

void HidDfuDllInitFailedDlgTest::escapeAndAbortReject() {
    {
        HidDfuDllInitFailedDlg dlg(nullptr);
        QSignalSpy rejected(&dlg, &QDialog::rejected);
        QSignalSpy accepted(&dlg, &QDialog::accepted);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QTest::keyClick(&dlg, Qt::Key_Escape);
        QCOMPARE(rejected.count(), 1);
        QCOMPARE(accepted.count(), 0);
        QCOMPARE(dlg.result(), int(QDialog::Rejected));
        QVERIFY(!dlg.isVisible());
    }
    {
        HidDfuDllInitFailedDlg dlg(nullptr);
        QSignalSpy rejected(&dlg, &QDialog::rejected);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        auto* box = dlg.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
        QTest::mouseClick(box->button(QDialogButtonBox::Abort), Qt::LeftButton);
        QCOMPARE(rejected.count(), 1);
        QCOMPARE(dlg.result(), int(QDialog::Rejected));
        QVERIFY(!dlg.isVisible());
        QVERIFY(openedUrls.isEmpty());
    }
}

void HidDfuDllInitFailedDlgTest::commandLinkOpensTheHomePageEveryClickAndStaysOpen() {
    HidDfuDllInitFailedDlg dlg(nullptr);
    QSignalSpy finished(&dlg, &QDialog::finished);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    auto* link = dlg.findChild<QCommandLinkButton*>(QStringLiteral("commandLinkButton"));

    QTest::mouseClick(link, Qt::LeftButton);
    QTest::mouseClick(link, Qt::LeftButton);

    QCOMPARE(openedUrls.size(), 2);
    QCOMPARE(openedUrls.at(0), openedUrls.at(1));
    const QUrl url = openedUrls.at(0);
    QVERIFY(url.isValid());
    QCOMPARE(url.scheme(), QStringLiteral("https"));
    QVERIFY(!url.host().isEmpty());
    // A site's home page: no path beyond the root, no query, no fragment.
    QVERIFY2(url.path().isEmpty() || url.path() == QStringLiteral("/"), qPrintable(url.path()));
    QVERIFY(!url.hasQuery() && !url.hasFragment());
    QVERIFY(dlg.isVisible());
    QCOMPARE(finished.count(), 0);
}

QTEST_MAIN(HidDfuDllInitFailedDlgTest)
#include "tst_HidDfuDllInitFailedDlg.moc"
