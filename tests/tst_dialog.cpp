// The main window: its shortcuts, boxes, file chooser and temporary firmware file.
#include "AnimatedSequence.h"
#include "DialogAccess.h"
#include "FakeHidDfu.h"
#include "FirmwareImage.h"
#include "ModalSeam.h"
#include "UnifiedHidAPI.h"

#include <QFileInfo>
#include <QPushButton>
#include <QLabel>
#include <QProcess>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/resource.h>

namespace {

struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon;
    int defaultButton;
    QMessageBox::StandardButtons buttons;
};

// Answers every box with `answer` and remembers what it was asked.
QList<SeenBox>* answerBoxes(int answer) {
    static QList<SeenBox> seen;
    seen.clear();
    ModalSeam::answerBoxesWith([answer](QMessageBox& box) {
        seen.append({box.windowTitle(), box.text(), box.icon(),
                     box.defaultButton() ? int(box.standardButton(box.defaultButton())) : 0,
                     box.standardButtons()});
        return answer;
    });
    return &seen;
}

constexpr int kChildExitOnBadTmpdir = 1;

// Runs in a child process: the dialog with an unwritable temporary directory.
int childMain(int argc, char** argv) {
    QApplication app(argc, argv);
    ModalSeam::answerBoxesWith([](QMessageBox& box) {
        std::printf("box: %s | %s\n", qPrintable(box.windowTitle()), qPrintable(box.text()));
        std::fflush(stdout);
        return int(QMessageBox::Ok);
    });
    KernoTindalUpdateDlg dialog;
    std::printf("constructor returned\n");
    return kChildExitOnBadTmpdir;
}

} // namespace

class DialogTest : public QObject {
    Q_OBJECT

    std::unique_ptr<KernoTindalUpdateDlg> dialog;
    std::unique_ptr<KernoTindalUpdateDlgTest> m;

    void open(bool shown = false) {
        FakeHidDfu::install();
        dialog = std::make_unique<KernoTindalUpdateDlg>();
        m = std::make_unique<KernoTindalUpdateDlgTest>(*dialog);
        m->stopStepTimer();
        m->step();
        if (shown) {
            dialog->show();
            QApplication::setActiveWindow(dialog.get());
            QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
        }
    }

private slots:
    void cleanup() {
        ModalSeam::answerBoxesWith(nullptr);
        ModalSeam::answerFileChooserWith(nullptr);
        m.reset();
        dialog.reset();
        FakeHidDfu::uninstall();
        UnifiedHidAPI::releaseInstance();
    }

    void fixedSizeWindowWithItsPageStack() {
        open();
        QCOMPARE(dialog->objectName(), QString("KernoTindalUpdateDlg"));
        QCOMPARE(dialog->windowTitle(), QString::fromUtf8("Kerno# Tindal 2 - Mise à jour"));
        QCOMPARE(dialog->size(), QSize(801, 601));
        QCOMPARE(dialog->minimumSize(), QSize(801, 601));
        QCOMPARE(dialog->maximumSize(), QSize(801, 601));
        QStackedWidget* stack = m->stack();
        QCOMPARE(stack->count(), 9);
        const QList<QWidget*> pages = {stack->widget(0),     stack->widget(1),
                                       m->welcomePage(),     m->connectPage(),
                                       m->progressPage(),    m->lastPercentPage(),
                                       m->donePage(),        m->networkErrorPage(),
                                       m->failedPage()};
        for (int i = 0; i < 9; ++i)
            QCOMPARE(stack->widget(i), pages.at(i));
        QCOMPARE(stack->widget(0)->objectName(), QString("page"));
        QCOMPARE(stack->widget(1)->objectName(), QString("page_2"));
        QCOMPARE(dialog->actions().size(), 19);
        for (QAction* action : dialog->actions())
            QCOMPARE(action->shortcutContext(), Qt::WindowShortcut);
        QCOMPARE(m->welcomePage()->findChild<QLabel*>("pFwVersionLbl")->text(),
                 QString("V027 2017/03/13"));
    }

    void shortcutsReachTheirTargets_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("page");
        const QList<QPair<int, QString>> rows = {
            {Qt::Key_1, "PageWelcomeForm"},        {Qt::Key_Z, "PageWelcomeForm"},
            {Qt::Key_2, "PageConnectAndDfuForm"},  {Qt::Key_E, "PageConnectAndDfuForm"},
            {Qt::Key_3, "PageDfuProgressForm"},    {Qt::Key_R, "PageDfuProgressForm"},
            {Qt::Key_4, "PageDfuLastPercentForm"}, {Qt::Key_T, "PageDfuLastPercentForm"},
            {Qt::Key_5, "PageDfuDoneForm"},        {Qt::Key_Y, "PageDfuDoneForm"},
            {Qt::Key_6, "PageDfuFailedForm"},      {Qt::Key_U, "PageDfuFailedForm"},
        };
        for (const auto& row : rows)
            QTest::newRow(qPrintable(QKeySequence(row.first).toString())) << row.first << row.second;
    }
    void shortcutsReachTheirTargets() {
        QFETCH(int, key);
        QFETCH(QString, page);
        open(true);
        const qint32 state = m->currentState();
        QTest::keyClick(dialog.get(), Qt::Key(key),
                        Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
        QCOMPARE(m->currentPage()->objectName(), page);
        // Only the view changes: no state change, no device call.
        QCOMPARE(m->currentState(), state);
        QCOMPARE(FakeHidDfu::script().disconnectCalls, 0);
    }

    void showingAPageResetsItFirst() {
        open(true);

        // The page in front when the welcome page's pictures restart.
        QList<QWidget*> inFrontAtReset;
        auto* anim = m->welcomePage()->findChild<AnimatedSequence*>("pAnim");
        QObject::connect(anim, &AnimatedSequence::starting,
                         [&] { inFrontAtReset << m->currentPage(); });
        const auto modifiers = Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier;
        QTest::keyClick(dialog.get(), Qt::Key_2, modifiers);
        QTest::keyClick(dialog.get(), Qt::Key_1, modifiers);
        QTest::keyClick(dialog.get(), Qt::Key_Z, modifiers); // same page twice in a row
        QCOMPARE(inFrontAtReset, (QList<QWidget*>{m->connectPage(), m->welcomePage()}));
        QCOMPARE(m->currentPage(), m->welcomePage());
    }

    void progressShortcuts() {
        open(true);
        const auto modifiers = Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier;
        QWidget* progress = m->progressPage();
        auto visible = [progress](const char* name) {
            return progress->findChild<QWidget*>(name)->isVisibleTo(progress);
        };
        QTest::keyClick(dialog.get(), Qt::Key_S, modifiers);
        QVERIFY(visible("pAnimPhrasesChoc") && !visible("pPhrasesChoc"));
        QTest::keyClick(dialog.get(), Qt::Key_W, modifiers);
        QVERIFY(visible("pAnimPhrasesChocSW") && !visible("pAnimPhrasesChoc"));
        QTest::keyClick(dialog.get(), Qt::Key_N, modifiers);
        QVERIFY(visible("pPhrasesChoc") && !visible("pAnimPhrasesChocSW"));

        QTest::keyClick(dialog.get(), Qt::Key_Plus, modifiers);
        QTest::keyClick(dialog.get(), Qt::Key_Plus, modifiers);
        QCOMPARE(m->progressValue(), 2);
        // The same key as the system reports it with Shift held on a US or French layout.
        QTest::keyClick(dialog.get(), Qt::Key_Equal, modifiers);
        QCOMPARE(m->progressValue(), 3);
        QTest::keyClick(dialog.get(), Qt::Key_Minus, modifiers);
        QTest::keyClick(dialog.get(), Qt::Key_Minus, modifiers);
        QCOMPARE(m->progressValue(), 1);
    }

    void aboutBox() {
        open(true);
        QList<SeenBox>* seen = answerBoxes(QMessageBox::Ok);
        QTest::keyClick(dialog.get(), Qt::Key_A,
                        Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
        QCOMPARE(seen->size(), 1);
        const SeenBox box = seen->first();
        QCOMPARE(box.title, QString::fromUtf8("Kerno# Tindal 2 - Mise à jour"));
        QCOMPARE(box.icon, QMessageBox::Information);
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(box.defaultButton, 0);
        QVERIFY(box.text.contains(QString::fromUtf8(
            "Application de mise à jour<br/>de l'enceinte Bluetooth<br/>Kerno# Tindal 2")));
        QVERIFY(QRegularExpression(R"(\(build [A-Z][a-z]{2} [ 1-3]\d \d{4} - \d\d:\d\d:\d\d\))")
                    .match(box.text)
                    .hasMatch());
    }

    void firmwareChooser() {
        open(true);
        const QString embedded = m->firmwarePath();
        QString askedCaption, askedDirectory, askedFilter;
        QString answer; // null: the user cancelled
        ModalSeam::answerFileChooserWith([&](const QString& c, const QString& d, const QString& f) {
            askedCaption = c;
            askedDirectory = d;
            askedFilter = f;
            return answer;
        });
        const auto modifiers = Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier;
        QTest::keyClick(dialog.get(), Qt::Key_F, modifiers);
        QCOMPARE(askedCaption, QString("Choix du Firmware"));
        QCOMPARE(askedDirectory, QDir::homePath());
        QCOMPARE(askedFilter, QString("Firmware CSR (*.dfu)"));
        QCOMPARE(m->firmwarePath(), embedded);

        answer = "/media/clé/V030.dfu";
        QTest::keyClick(dialog.get(), Qt::Key_F, modifiers);
        QCOMPARE(m->firmwarePath(), answer);
        answer = QString();
        QTest::keyClick(dialog.get(), Qt::Key_F, modifiers);
        QCOMPARE(m->firmwarePath(), QString("/media/clé/V030.dfu"));
        // The version shown stays the embedded one.
        QCOMPARE(m->welcomePage()->findChild<QLabel*>("pFwVersionLbl")->text(),
                 QString("V027 2017/03/13"));
    }

    void closeIsConfirmedExceptAfterReset() {
        open(true);
        QList<SeenBox>* seen = answerBoxes(QMessageBox::Cancel);
        QSignalSpy finished(dialog.get(), &QDialog::finished);
        for (qint32 state : m->allIds()) {
            if (state == m->RESETED())
                continue;
            m->currentState() = state;
            const int before = seen->size();
            QTest::keyClick(dialog.get(), Qt::Key_Escape);
            QVERIFY(!dialog->close());
            QCOMPARE(seen->size(), before + 2);
        }
        QVERIFY(dialog->isVisible());
        QCOMPARE(finished.count(), 0);
        const SeenBox box = seen->first();
        QCOMPARE(box.title, QString("Fermeture de l'application"));
        QCOMPARE(box.text, QString::fromUtf8(
                               "Attention, vous êtes sur le point de fermer l'application.\n\n"
                               "Êtes vous certain de vraiment vouloir quitter ?\n\n"));
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(box.defaultButton, int(QMessageBox::Cancel));
        QCOMPARE(box.buttons, QMessageBox::Ok | QMessageBox::Cancel);

        // The state machine goes on while the box is answered Cancel.
        m->currentState() = m->WELCOME_INIT();

        // Ok closes.
        answerBoxes(QMessageBox::Ok);
        QTest::keyClick(dialog.get(), Qt::Key_Escape);
        QCOMPARE(finished.count(), 1);
        QVERIFY(!dialog->isVisible());
    }

    void resetedClosesWithoutAsking() {
        open(true);
        QList<SeenBox>* seen = answerBoxes(QMessageBox::Cancel);
        m->currentState() = m->RESETED();
        QSignalSpy finished(dialog.get(), &QDialog::finished);
        // The done page's quit button comes through the same path as Escape.
        QMetaObject::invokeMethod(m->donePage(), "doQuit");
        QCOMPARE(finished.count(), 1);
        dialog->show();
        QVERIFY(dialog->close());
        QCOMPARE(seen->size(), 0);
    }

    void temporaryFirmwareFile() {
        open();
        const QString first = m->dfuData().tempFileName();
        QCOMPARE(m->firmwarePath(), first);
        const QFileInfo info(first);
        QCOMPARE(info.absolutePath(), QFileInfo(QDir::tempPath()).absoluteFilePath());
        QVERIFY(QRegularExpression("^Kerno_Tindal2-Mise_a_jour-V027\\.dfu-[A-Za-z0-9]{6}$")
                    .match(info.fileName())
                    .hasMatch());
        QFile file(first);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QCOMPARE(bytes.size(), 807582);
        QVERIFY(bytes == QByteArray::fromRawData(reinterpret_cast<const char*>(kFirmwareImage),
                                                 int(kFirmwareImageSize)));
        QVERIFY(bytes.startsWith("CSR-dfu2"));
        file.close();

        {
            KernoTindalUpdateDlg second;
            const QString secondName =
                KernoTindalUpdateDlgTest(second).dfuData().tempFileName();
            QVERIFY(secondName != first);
            QVERIFY(QFile::exists(secondName));
        }
        dialog.reset();
        QVERIFY(!QFile::exists(first));
    }

    void fullDiskFailsTheWrite() {
        struct rlimit saved;
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit tiny = saved;
        tiny.rlim_cur = 100000;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &tiny), 0);
        DfuV027_20170313 block;
        const bool written = block.writeToTempFile();
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(!written);
        QVERIFY(QFile::exists(block.tempFileName())); // created, then the disk filled
    }

    void unwritableTemporaryDirectoryEndsWithMinusOne() {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KERNO_TEST_CHILD", "1");
        env.insert("TMPDIR", "/nonexistent/kerno");
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), QStringList());
        QVERIFY(child.waitForFinished(30000));
        const QString out = QString::fromUtf8(child.readAllStandardOutput());
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 255);
        QCOMPARE(out, QString::fromUtf8(
                          "box: Problème d'espace disque | Impossible d'écrire un fichier "
                          "temporaire sur votre disque. Peut-être faut-il faire un peu de place ?\n"));
    }
};

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsSet("KERNO_TEST_CHILD"))
        return childMain(argc, argv);
    QApplication app(argc, argv);
    DialogTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_dialog.moc"
