// The update window and its flow, driven event by event against a scripted library,
// and the device access layer under it.
#include "AnimatedSequence.h"
#include "CircularProgressWidget.h"
#include "FirmwareImage.h"
#include "HidDfuLibrary.h"
#include "KernoTindalUpdateDlg.h"
#include "ModalSeam.h"
#include "Startup.h"
#include "UnifiedHidAPI.h"

#include <QtTest>
#include <QtWidgets>

#include <csignal>
#include <cstring>
#include <thread>

#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The five library functions, scripted; each call leaves its letter in `calls`. The boxes
// are answered `answer`, the file choosers Cancel, and are remembered in `asked`.
struct Script {
    int connect = 0, upgrade = 0, reset = 0, disconnect = 0, reads = 0, refusals = 0, found = 0;
    QList<int> progress{0}; // successive readings; the last one repeats
    QMessageBox::StandardButton answer = QMessageBox::Cancel;
    QByteArray path, sent; // the file given to the upgrade, what it held then
    QByteArray offered{reinterpret_cast<const char*>(kFirmwareImage), int(kFirmwareImageSize)};
    QString calls, chosen;
    QStringList asked;
} fake;

int32_t call(const char* letter, int32_t status) {
    fake.calls += letter;
    return status;
}

// Declares itself the virtual speaker, as our demonstration library does.
const HidDfuFunctions fakeFunctions{
    [](uint16_t vid, uint16_t pid, uint16_t page, uint16_t usage, uint16_t* count) {
        const bool expected =
            vid == HIDDFU_VENDOR_ID && pid == HIDDFU_PRODUCT_ID && !page && !usage && !*count;
        if (fake.refusals-- > 0)
            *count = quint16(fake.found);
        return call(expected ? "C" : "C?", fake.refusals < 0 ? fake.connect : -2);
    },
    [](const char* file, int32_t options) {
        QFile sent(fake.path = file);
        fake.sent = sent.open(QIODevice::ReadOnly) ? sent.readAll() : "(unreadable)";
        return call(options ? "U?" : "U", fake.upgrade);
    },
    [] { return call("P", fake.progress.value(fake.reads++, fake.progress.last())); },
    [] { return call("R", fake.reset); },
    [] { return call("D", fake.disconnect); },
    []() -> int32_t { return 1; }};

// A system bus on a socket of its own: it answers each of the client's writes (AUTH,
// NEGOTIATE_UNIX_FD, BEGIN and the calls) with the next answer ("-": nothing), each with a pipe's
// end; with none left it hangs up at the next.
void serveBus(int listener, QByteArrayList answers) {
    const int fd = accept(listener, nullptr, nullptr);
    int ends[2];
    char buffer[4096];
    if (fd < 0 || pipe(ends) != 0)
        return;
    for (QByteArray& answer : answers) {
        if (read(fd, buffer, sizeof buffer) <= 0 || answer == "-")
            continue;
        iovec io{answer.data(), size_t(answer.size())};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr message{nullptr, 0, &io, 1, control, sizeof control, 0};
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = SOL_SOCKET, c->cmsg_type = SCM_RIGHTS, c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &ends[1], sizeof(int));
        sendmsg(fd, &message, MSG_NOSIGNAL);
    }
    if (answers.size() < 3 && read(fd, buffer, sizeof buffer) > 0)
        shutdown(fd, SHUT_RDWR);
    while (read(fd, buffer, sizeof buffer) > 0) { // until the client goes
    }
    for (int f : {fd, ends[0], ends[1]})
        close(f);
}

QByteArray u32(quint32 v, bool big = false) {
    QByteArray b(4, '\0');
    big ? qToBigEndian(v, b.data()) : qToLittleEndian(v, b.data());
    return b;
}

// A reply to the call numbered `serial` (Inhibit is 2): a return, or an error with its name.
QByteArray busReply(int serial, const QByteArray& signature, const QByteArray& body, int fds = 0,
                    bool big = false, const QByteArray& error = {}) {
    QByteArray fields;
    const auto field = [&](char code, char type, const QByteArray& value) {
        fields = fields.leftJustified((fields.size() + 7) / 8 * 8, '\0');
        fields += QByteArray(1, code) + '\1' + type + '\0' + value;
    };
    field(5, 'u', u32(serial, big));
    if (!error.isEmpty())
        field(4, 's', u32(error.size(), big) + error + '\0');
    field(8, 'g', char(signature.size()) + signature + '\0');
    if (fds)
        field(9, 'u', u32(fds, big));
    const QByteArray head = QByteArray(big ? "B" : "l") + char(error.isEmpty() ? 2 : 3) + '\0' +
                            '\1' + u32(body.size(), big) + u32(9, big) + u32(fields.size(), big);
    return (head + fields).leftJustified((head.size() + fields.size() + 7) / 8 * 8, '\0') + body;
}

} // namespace

// The dialog's friend: reaches its step, slots, pages and timers.
class KernoTindalUpdateDlgTest : public QObject {
    Q_OBJECT

    QScopedPointer<KernoTindalUpdateDlg> d;
    QTemporaryDir files;
    int made = 0, base = 0; // identifiers count per process: each dialog takes the next 24

    void open(bool ticking = false) {
        connectTickCounter = 3;
        base = 24 * made++;
        d.reset(new KernoTindalUpdateDlg);
        if (!ticking)
            d->killTimer(d->stepTimerId);
        connect(d->lastPercentPage.findChild<AnimatedSequence*>("pAnim"),
                &AnimatedSequence::starting, [this] { fake.calls += page() == 5 ? ':' : '*'; });
        d->show();
        QVERIFY(QTest::qWaitForWindowActive(d.data()));
    }
    int page() { return d->findChild<QStackedWidget*>("pWidgetStack")->currentIndex(); }
    // The embedded image under another description, chosen with the file chooser.
    void choose(const QByteArray& description) {
        QFile file(fake.chosen = files.filePath(description.left(5) + ".dfu"));
        QVERIFY(file.open(QIODevice::WriteOnly) &&
                file.write(fake.offered.replace(16, 64, description.leftJustified(64, '\0'))) > 0);
        file.close();
        d->choseFirmware();
    }

    // What one sees after each event: state (1..24), page (Welcome, K connect, Progress,
    // Last percent, Done, Network error, Failed), progress value, running timers with their
    // seconds ('+' if repeating), then after "/" the library calls and '*' when the last-percent
    // page restarts (':' if it was in front already); the failure page's entries follow the
    // trace after " | ". With `keys` each event is a Ctrl+Alt+Shift key.
    QString run(const QString& events, bool keys = false) {
        // r: 1 s after UPGRADED, c: 1 s after the reset, G: 20 s after UPGRADED
        QTimer* timers[] = {&d->timerBeforeReset, &d->timerBeforeCheckStatus,
                            &d->timerUpgradedTooLong};
        QHash<QChar, std::function<void()>> act = {
            {'.',
             [&] { // a 20 ms step, once logind has answered (here: there is none)
                 QVERIFY(QTest::qWaitFor([&] {
                     return d->currentState != d->ID_CONNECTED || d->sleepInhibitor.settled();
                 }));
                 d->stepStateMachine();
             }},
            {'g', [&] { emit d->welcomePage.goNext(); }},     // Ready
            {'u', [&] { d->directDispPageDfuFailed(); }},     // the failure page's shortcut
            {'K', [] { fake.refusals = 4, fake.found = 1; }}, // the speaker refuses 4 times
            {'2', [] { fake.refusals = 1, fake.found = 2; }}, // two speakers: refused
            {'3', [] { fake.upgrade = -3; }},                 // the upgrade cannot start
            {'T', [&] { fake.calls += '=' + QString::number(d->stopOnSignal(SIGTERM)); }},
            {'h',
             [] { // a library that is not the virtual speaker
                 static HidDfuFunctions other = fakeFunctions;
                 other.virtualSpeaker = nullptr;
                 HidDfuLibrary::installForTesting(&other);
             }},
            {'p', [&] { choose("KERNO PLACEHOLDER - not a speaker firmware"); }},
            {'f', [&] { choose("V030 2018/01/09"); }}}; // a real image
        for (int i = 0; i < 3; ++i)
            act["rcG"[i]] = [timer = timers[i]] { // as when it times out
                timer->stop();
                QMetaObject::invokeMethod(timer, "timeout");
            };
        auto* progress = d->progressPage.findChild<CircularProgressWidget*>("pCircularProgress");
        QStringList trace;
        for (QChar e : events) {
            const int before = fake.calls.size();
            if (keys)
                QTest::keyClick(d.data(), e.toLatin1(),
                                Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
            else
                act[e]();
            QString seen = QString::number(d->currentState - base) + "--WKPLDNF"[page()] +
                           QString::number(progress->value()) + "[";
            for (int i = 0; i < 3; ++i)
                if (timers[i]->isActive())
                    seen += "rcg"[i] + QString::number(timers[i]->interval() / 1000.0) +
                            (timers[i]->isSingleShot() ? "" : "+");
            seen = QString(seen + "]/" + fake.calls.mid(before)).remove("[]");
            trace << (seen.endsWith('/') ? seen.chopped(1) : seen);
        }
        auto* context = d->failedPage.findChild<QPlainTextEdit*>("pErrorContext");
        return (QStringList(trace.join(' ')) + context->toPlainText().split('\n').filter("n°"))
            .join(" | ");
    }

public:
    static void initMain() { Startup::enableHighDpi(); }

private slots:
    void initTestCase() {
        qputenv("XDG_STATE_HOME", QFile::encodeName(files.filePath("state"))); // support logs
        qputenv("TZ", "IST-5:30");                        // their lines show the offset
        ModalSeam::answerBoxesWith([](QMessageBox& box) { // icon, buttons ('*': default), texts
            QString seen = QMetaEnum::fromType<QMessageBox::Icon>().valueToKey(box.icon());
            for (QAbstractButton* button : box.buttons())
                seen += ' ' + button->text() + (button == box.defaultButton() ? "*" : "");
            fake.asked << seen + " | " + box.windowTitle() + " | " + box.text();
            return int(fake.answer);
        });
        QVERIFY(Startup::speakFrench());                     // as the updater does
        if (qEnvironmentVariableIsSet("KERNO_TEST_CHILD")) { // see cannotWriteTheFirmware
            std::atexit([] { std::printf("%s\n", qPrintable(fake.asked.join('\n'))); });
            KernoTindalUpdateDlg dialog;
            QFAIL("the dialog came up");
        }
    }
    void init() {
        d.reset();
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus"); // no sleep inhibitor
        UnifiedHidAPI::releaseInstance();
        fake = Script();
        HidDfuLibrary::installForTesting(&fakeFunctions);
        ModalSeam::answerFileChooserWith(
            [](const QString& caption, const QString& directory, const QString& filter) {
                fake.asked << caption + "|" + directory + "|" + filter;
                return std::exchange(fake.chosen, QString()); // once, then cancelled
            });
    }

    // In a trace, '~' is Ready pressed, the speaker connected and the write started.
    static void row(const QString& name, QList<int> readings, QString events, QString trace) {
        QTest::newRow(qPrintable(name))
            << readings << events << trace.replace('~', "2W0 3W0 5K0 6K0/C 8P0 9P0/U 11P0");
    }
    void flow_data() {
        QTest::addColumn<QList<int>>("readings");
        QTest::addColumn<QString>("events");
        QTest::addColumn<QString>("trace"); // whole, then the failure page's entries
        row("normal run", {42, 98, 99, 99, 100}, "p.g...........rc.",
            "1-0 ~ 11P42/P 11P98/P 11L99/P* 11L99/P 12L100/P 14L100[r1g20] 14L100[c1g20]/R "
            "15L100 17D100");
        row("refused, retried every 4th tick", {0}, "K.g..................",
            "1-0 2W0 3W0 5K0" + QString(" 5K0/C 5K0 5K0 5K0").repeated(4) + " 6K0/C");
        row("placeholder, real library", {0}, "hp.g......",
            "1-0 1-0 2W0 3W0 5K0 6K0/C 9P0 23F0/D 23F0 23F0 | n°1 : KernoTindalUpdateDlg(418) :  "
            "L'image de démonstration ne peut pas être écrite dans une vraie enceinte : mise à "
            "jour refusée");
        row("real image, real library", {0}, "hf.g.......", "1-0 1-0 ~ 11P0/P 11P0/P");
        row("two speakers", {0}, "2.g.....",
            "1-0 2W0 3W0 5K0 6K0/C 23F0/D 23F0 23F0 | n°1 : KernoTindalUpdateDlg(401) :  2 "
            "enceintes en mode mise à jour ont été trouvées. Ne branchez qu'une seule enceinte, "
            "puis relancez l'application.");
        for (int reading : {100, 101, 128, 255, 0x1ff, -1}) // all finish
            row(QString::number(reading), {42, reading}, ".g........",
                "~ 11P42/P 12P100/P 14P100[r1g20]");
        row("99, shown again when hidden, stray Ready", {0x163}, ".g.......u..g..",
            "~ 11L99/P* 11L99/P 11F99 11L99/P* 11L99/P 11L99 11L99/P 11L99/P");
        row("SIGTERM before the write: nothing written", {100}, ".g...T...",
            "2W0 3W0 5K0 6K0/C 8P0 8P0/D=143 8P0 8P0 8P0");
        row("SIGTERM stops a transfer up to the reset's check", {100}, ".g.......rTcT.",
            "~ 12P100/P 14P100[r1g20] 14P100[c1g20]/R 14P100[c1g20]/D=143 15P100 15P100/=0 17D100");
        row("20 s guard, late slots ignored", {100}, ".g.......rG.cr.",
            "~ 12P100/P 14P100[r1g20] 14P100[c1g20]/R 15P100 23F100/D 23F100 23F100 23F100 | n°1 : "
            "KernoTindalUpdateDlg(525) :  Upgrade done, but problem with reset or API");
    }
    void flow() {
        QFETCH(QList<int>, readings);
        QFETCH(QString, events);
        QFETCH(QString, trace);
        fake.progress = readings;
        open();
        QCOMPARE(run(events), trace);
        QCOMPARE(fake.sent, fake.calls.contains('U') ? fake.offered : QByteArray());
    }

    void shortcutsAndFirmwareFile() {
        open();
        const QString title = "Kerno# Tindal 2 - Mise à jour - version de démonstration, ne peut "
                              "pas mettre à jour une vraie enceinte";
        QCOMPARE(d->windowTitle(), KERNO_EMBEDS_PLACEHOLDER ? title : title.left(29));
        QCOMPARE(run(" 12ZE34RT56YU", true),
                 "1-0 1W0 1K0 1W0 1K0 1P0 1L0/* 1P0 1L0/* 1D0 1F0 1D0 1F0");
        QCOMPARE(run("3++=-3+-", true), "1P0 1P1 1P2 1P3 1P2 1P0 1P1 1P0");
        for (QString mode : {"S pAnimPhrasesChoc", "W pAnimPhrasesChocSW", "N pPhrasesChoc"}) {
            run(mode.left(1), true);
            for (QWidget* w : d->progressPage.findChildren<QWidget*>(QRegularExpression("Phr")))
                QCOMPARE(w->isVisibleTo(&d->progressPage), w->objectName() == mode.mid(2));
        }
        run("A", true);
        QVERIFY(fake.asked.value(0).contains(QRegularExpression(
            "^Information OK \\| Kerno# Tindal 2 - Mise à jour \\| .*>Application de mise à jour"
            "<br/>de l'enceinte Bluetooth<br/>Kerno# Tindal 2<.*\\(build [A-Z][a-z]{2} [ 1-3]\\d "
            "\\d{4} - \\d\\d:\\d\\d:\\d\\d\\)<")));
        QCOMPARE(d->welcomePage.findChild<QLabel*>("pFwVersionLbl")->text(), "V027 2017/03/13");
    }

    // What a start removes of an earlier run's image: only one with bytes, no lock, ours, and
    // named as ours ("name": under another name).
    void staleImages_data() {
        QTest::addColumn<QString>("kind");
        for (const char* kind : {"file", "locked", "empty", "daemon's", "link", "name"})
            QTest::newRow(kind) << QString(kind);
    }
    void staleImages() {
        QFETCH(QString, kind);
        const QByteArray bytes = kind == "empty" ? "" : "image";
        QTemporaryDir tmp;
        const QString path = tmp.filePath("Kerno_Tindal2-Mise_a_jour-V027.dfu-a1B2c3" +
                                          QString(kind == "name" ? ".dfu" : ""));
        QFile file(kind == "link" ? tmp.filePath("target") : path);
        QVERIFY(file.open(QIODevice::ReadWrite) && file.write(bytes) == bytes.size() &&
                file.flush());
        QVERIFY(kind != "link" || file.link(path));
        QVERIFY(kind != "locked" || flock(file.handle(), LOCK_EX) == 0);
        if (kind == "daemon's" && fchown(file.handle(), 1, 1) != 0)
            QSKIP("files of another user need root");
        const QByteArray before = qgetenv("TMPDIR");
        qputenv("TMPDIR", QFile::encodeName(tmp.path()));
        open();
        qputenv("TMPDIR", before);
        QCOMPARE(QFileInfo(path).exists() || QFileInfo(path).isSymLink(), kind != "file");
    }

    // A good choice is taken; the others are refused, the good one kept. Qt's own chooser,
    // whatever the desktop, in French as the rest of the window.
    void choosingTheFirmware() {
        open();
        QTemporaryDir dir;
        const QString good = dir.filePath("clé V030.dfu");
        QVERIFY(QFile(good).open(QIODevice::WriteOnly) &&
                mkfifo(QFile::encodeName(dir.filePath("pipe.dfu")), 0600) == 0 &&
                QDir(dir.path()).mkdir("dossier.dfu"));
        QStringList refused;
        for (const QString& path : {good, dir.filePath("pipe.dfu"), dir.filePath("dossier.dfu"),
                                    QString("/dev/null"), dir.filePath("absent.dfu")}) {
            fake.chosen = path;
            run("F", true);
            if (path != good)
                refused << "Warning OK | Choix du Firmware | Ce fichier ne peut pas servir de "
                           "firmware : ce n'est pas un fichier ordinaire (dossier, tube nommé, "
                           "périphérique ou fichier absent).\n\n" +
                               path + "\n\nLe firmware précédent est conservé.";
        }
        run("F", true); // cancelled
        run(".g....");
        QCOMPARE(fake.path, good.toUtf8());
        QCOMPARE(fake.asked.first(),
                 "Choix du Firmware|" + QDir::homePath() + "|Firmware CSR (*.dfu)");
        QCOMPARE(fake.asked.filter("Warning"), refused);
        ModalSeam::answerFileChooserWith(nullptr);
        QStringList seen;
        QTimer::singleShot(0, [&seen] {
            auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            for (const char* name : {"lookInLabel", "fileNameLabel", "fileTypeLabel"})
                seen << chooser->findChild<QLabel*>(name)->text();
            for (QAbstractButton* button : chooser->findChild<QDialogButtonBox*>()->buttons())
                seen << button->text();
            seen << chooser->windowTitle();
            chooser->reject();
        });
        d->choseFirmware();
        QCOMPARE(seen.join('|'), "Voir dans :|&Nom de fichier :|Fichiers de type :|&Ouvrir|"
                                 "Annuler|Choix du Firmware");
    }

    void closing() {
        open(true);
        QCOMPARE(QAbstractEventDispatcher::instance()->registeredTimers(d.data())[0].interval, 20);
        QSignalSpy finished(d.data(), &QDialog::finished);
        for (int state = 1; state <= 24; ++state) {
            d->currentState = base + (state == 17 ? 1 : state); // RESETED comes last
            QTest::keyClick(d.data(), Qt::Key_Escape);
            emit d->donePage.doQuit();
            QVERIFY(!d->close());
        }
        QVERIFY(d->isVisible() && finished.isEmpty());
        d->currentState = base + 19; // NETWORK_ERROR_ENTER
        QTRY_COMPARE(page(), 7);     // the steps go on
        d->currentState = base + 11; // mid-transfer, OK answered
        fake.answer = QMessageBox::Ok;
        QTest::keyClick(d.data(), Qt::Key_Escape);
        d->currentState = base + 17; // RESETED: unasked
        d->show();
        QVERIFY(d->close());
        QCOMPARE(finished.count(), 1);
        const QString box = "Warning OK Annuler* | Fermeture de l'application | Attention, vous "
                            "êtes sur le point de fermer l'application.\n\nÊtes vous certain de "
                            "vraiment vouloir quitter ?\n\n";
        QCOMPARE(fake.asked, QVector<QString>(73, box).toList());
    }

    void supportLog_data() {
        QTest::addColumn<QString>("events");
        QTest::addColumn<QString>("before");       // what the folder holds before the run
        QTest::addColumn<QStringList>("expected"); // patterns in this order; !: none after
        QTest::addColumn<QString>("left"); // the folder's mode, then its logs: 10..21, ours, link
        const QString t = "^\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\+05:30 "; // each line's time and offset
        const QStringList head = {
            "^Kerno# Tindal 2 - Mise à jour \\S+ \\(build .*\\), Qt ",
            "^firmware: V027 2017/03/13 \\(V027.dfu\\)$", t + "stderr: libHidDfu: a line$",
            t + "stderr: libHidDfu: a line \\(2 more times\\)$", t + "state ID_WELCOME_INIT$"};
        const QString kept = "700 10 11 12 13 14 15 16 17 18 ours(600)";
        const auto row = [](const char* title, const char* events, const char* before,
                            const QStringList& expected, const QString& left = "700 ours(600)") {
            QTest::newRow(title) << QString(events) << QString(before) << expected << left;
        };
        row("done, kept by modification time", ".g........rc.", "twelve",
            head + QStringList{t + "state ID_UPGRADING$", t + "outcome: done$",
                               t + "stdout: last words$", t + "closed$"},
            kept);
        row("failure, printed lines before the outcome", "3.g......", "twelve",
            head + QStringList{t + "stdout: \\[\\[HID error\\]\\] .*:Upgrade failed",
                               t + "outcome: failure$",
                               "^    n°1 : KernoTindalUpdateDlg\\(419\\) :\\s+Failed to start "
                               "upgrade : -3 \\(Failed to open file \\(-3\\)\\)$",
                               t + "closed$"},
            kept);
        row("signal, a log held by a running updater", ".g.....T", "twelve, 21 held",
            head + QStringList{t + "outcome: interrupted by SIGTERM$"},
            "700 10 11 12 13 14 15 16 17 18 21 ours(600)");
        row("cut at the limit, the outcome kept", ".", "limit",
            {t + "stderr: line 1$", t + "log cut: it reached its size limit",
             "!stderr: line|log cut", t + "outcome: closed$"});
        QStringList inTurn; // printed lines and notes, under a flood of signals
        for (int i = 1; i <= 20; ++i)
            inTurn << t + QString("stderr: line %1$").arg(i) << t + QString("note %1$").arg(i);
        row("signals while notes wait", ".", "signals", inTurn);
        row("a child holds the streams", ".", "child", {t + "outcome: closed$"});
        row("linked folder", ".g........rc.", "twelve, linked", {},
            "755 10 11 12 13 14 15 16 17 18 19 20 21");
        row("link at the log's name", ".g........rc.", "links", {}, "700 link link link link");
        row("a file in the way", ".g........rc.", "file", {}, "755");
    }
    // One log per process, where only we can read it, and never through a link.
    void supportLog() {
        QFETCH(QString, events);
        QFETCH(QString, before);
        QFETCH(QStringList, expected);
        QFETCH(QString, left);
        QDir home(files.filePath("state")); // the XDG_STATE_HOME of the whole run
        QVERIFY(home.removeRecursively() && home.mkpath("."));
        const QString folder = home.path() + "/kerno-tindal2-update";
        const QString old = before.contains("linked") ? home.filePath("elsewhere") : folder;
        QVERIFY(QDir().mkpath(before == "file" ? home.path() : old));
        QFile(before == "file" ? folder : QString()).open(QIODevice::WriteOnly);
        QVERIFY(!before.contains("linked") || QFile::link(old, folder));
        QFile::setPermissions(old, QFileDevice::Permissions(0x7755));
        const QDateTime start = QDateTime::currentDateTime();
        for (int i = 10; i < (before.startsWith("twelve") ? 22 : 0); ++i) {
            QFile run(old + QString("/run-20170313-0000%1.log").arg(i)); // older as names grow
            QVERIFY(run.open(QIODevice::WriteOnly) &&
                    run.setFileTime(start.addSecs(-60 * i), QFileDevice::FileModificationTime));
        }
        QFile held(old + "/run-20170313-000021.log");
        QVERIFY(!before.contains("held") ||
                (held.open(QIODevice::ReadOnly) && flock(held.handle(), LOCK_EX) == 0));
        for (int s = 0; s < (before == "links" ? 4 : 0); ++s)
            QVERIFY(QFile::link(home.filePath("victim"),
                                folder + start.addSecs(s).toString("/run-yyyyMMdd-HHmmss-") +
                                    QString::number(QCoreApplication::applicationPid()) + ".log"));
        SupportLog::capBytes = before == "limit" ? 3000 : 4 << 20;
        QString ours;
        QProcess holder; // outlives the log with our streams, as a browser may
        holder.setProcessChannelMode(QProcess::ForwardedChannels);
        {
            SupportLog log("V027 2017/03/13", "V027.dfu");
            if (before == "child")
                holder.start("sleep", {"30"});
            ours = SupportLog::fileName();
            fake.progress = {50, 100};
            open();
            std::fputs("libHidDfu: a line\nlibHidDfu: a line\nlibHidDfu: a line\n", stderr);
            struct sigaction handled {};
            handled.sa_handler = [](int) {};
            handled.sa_flags = SA_RESTART; // as our signal watcher's
            sigaction(SIGALRM, &handled, nullptr);
            const suseconds_t every = before == "signals" ? 200 : 0;
            itimerval flood{{0, every}, {0, every}};
            setitimer(ITIMER_REAL, &flood, nullptr);
            for (int i = 1; i <= (before == "limit" ? 100 : every ? 20 : 0); ++i) {
                std::fprintf(stderr, "line %d\n", i);
                if (every)
                    SupportLog::note(QString("note %1").arg(i));
            }
            flood = {};
            setitimer(ITIMER_REAL, &flood, nullptr);
            QVERIFY(run(events).endsWith("17D100") || !events.endsWith("rc."));
            std::printf("last words\n"); // still in the buffer
            d.reset();
        }
        SupportLog::capBytes = 4 << 20;
        QVERIFY(before != "child" || !holder.waitForFinished(0)); // not waited for
        holder.kill();
        holder.waitForFinished();

        const auto mode = [](const QString& path) {
            struct stat st {};
            return lstat(QFile::encodeName(path), &st) ? "" : QString::number(st.st_mode & 0777, 8);
        };
        QString seen = mode(old);
        for (const QFileInfo& file : QDir(old).entryInfoList(QDir::Files | QDir::System))
            seen += " " + (file.isSymLink()                  ? "link"
                           : file.absoluteFilePath() == ours ? "ours(" + mode(ours) + ")"
                                                             : file.fileName().mid(17, 2));
        QCOMPARE(seen, left);
        QVERIFY(!QFile::exists(home.filePath("victim")));
        QFile log(ours);
        const QString text = log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : "";
        int at = 0;
        for (const QString& line : expected) { // '!': nowhere after
            const bool absent = line.startsWith('!');
            const auto match =
                QRegularExpression(line.mid(absent), QRegularExpression::MultilineOption)
                    .match(text, at);
            QVERIFY2(match.hasMatch() != absent,
                     qPrintable(line + " after " + QString::number(at) + " in:\n" + text));
            at = absent ? at : match.capturedEnd();
        }
    }

    void sleepInhibitor_data() {
        QTest::addColumn<QByteArrayList>("answers");
        QTest::addColumn<QString>("told"); // why there is no lock; empty when there is one
        const QByteArray ok = "OK 0123456789abcdef\r\n", agree = "AGREE_UNIX_FD\r\n";
        const QByteArray name = busReply(1, "s", u32(5) + ":1.42" + '\0');
        const auto row = [](const char* title, QByteArrayList answers, const char* told) {
            QTest::newRow(title) << answers << QString(told);
        };
        const QByteArray lock = busReply(2, "h", u32(0), 1);
        row("lock", {ok, agree, name + lock}, "");
        row("lock, other byte order", {ok, agree, busReply(2, "h", u32(0, true), 1, true)}, "");
        row("refused", {"REJECTED EXTERNAL\r\n"}, "the system bus refused us");
        row("no descriptors", {ok, "ERROR\r\n"}, "the system bus passes no descriptors");
        row("logind says no",
            {ok, agree, busReply(2, "s", u32(3) + "non" + '\0', 0, false, "x.No")}, "x.No: non");
        row("no lock in the answer", {ok, agree, busReply(2, "", "")}, "logind gave no lock");
        row("lock out of range", {ok, agree, busReply(2, "h", u32(1), 1)}, "logind gave no lock");
        row("hangs up", {ok, agree}, "the system bus closed the connection");
        row("unreadable", {ok, agree, QByteArray(64, 'x')}, "unreadable answer");
        row("a field of a type not known",
            {ok, agree, QByteArray(lock).replace("\x08\x01g", "\x08\x01v")}, "unreadable answer");
        row("silent after authentication", {ok, agree, "-"},
            "no answer from the system bus within 3 s");
    }
    // logind asked over a bus that may answer anything, or nothing.
    void sleepInhibitor() {
        QFETCH(QByteArrayList, answers);
        QFETCH(QString, told);
        QTemporaryDir dir;
        const QByteArray path = QFile::encodeName(dir.filePath("bus"));
        const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{AF_UNIX, {}};
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        QVERIFY(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                listen(listener, 1) == 0);
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + path);
        std::thread bus(serveBus, listener, answers);
        SleepInhibitor inhibitor("who", "why");
        inhibitor.acquire();
        const bool settled = QTest::qWaitFor([&] { return inhibitor.settled(); }, 10000);
        const QString seen = !settled             ? "(waiting)"
                             : inhibitor.isHeld() ? ""
                                                  : inhibitor.whyNotHeld();
        inhibitor.release();
        bus.join();
        close(listener);
        QCOMPARE(seen, told);
    }

    // On a full disk.
    void cannotWriteTheFirmware() {
        // The child ends through exit(): the test runner's logger is never freed, so it skips
        // leak checks; it writes into a directory of ours.
        QTemporaryDir tmp;
        QProcess child;
        const QString script =
            "export KERNO_TEST_CHILD=1 ASAN_OPTIONS=detect_leaks=0 TMPDIR=" + tmp.path() +
            "; trap '' XFSZ; ulimit -f 200; exec \"$0\"";
        child.start("sh", {"-c", script, QCoreApplication::applicationFilePath()});
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1, 255);
        QVERIFY(QDir(tmp.path()).entryList(QDir::Files).isEmpty()); // not even a partial image
        QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()).section('\n', -2),
                 "Critical OK | Problème d'espace disque | Impossible d'écrire un fichier "
                 "temporaire sur votre disque. Peut-être faut-il faire un peu de place ?\n");
    }

    void deviceAccess() {
        UnifiedHidAPI* api = UnifiedHidAPI::getInstance();
        CHidDfuErrorMsg record;
        char* printed = nullptr;
        size_t length = 0;
        FILE* const console = stdout;
        stdout = open_memstream(&printed, &length);
        fake.connect = -12, fake.disconnect = -1, fake.upgrade = -3, fake.reset = -7;
        QList<int> results{api->ConnectDevice(HIDDFU_VENDOR_ID, HIDDFU_PRODUCT_ID),
                           api->DisconnectDevice(), api->Upgrade("a.dfu", true)}; // in this order
        fake.upgrade = 0;
        results << api->Upgrade("b.dfu", true) << api->Upgrade("c.dfu", false) << api->isInError();
        record.setError(0, "quiet", 1, "none");
        std::fclose(stdout);
        stdout = console;
        QCOMPARE(
            QString::fromUtf8(printed, int(length)),
            "[[HID error]] HidDfu/Win/UnifiedHidAPI:11:(ConnectDevice):Cannot connect to "
            "device a12/fffe [Failed to connect to device (-2)]\n"
            "[[HID error]] HidDfu/Win/UnifiedHidAPI:21:(DisconnectDevice):Cannot disconnect "
            "from device  [Unknown error (-20)]\n"
            "[[HID error]] HidDfu/Win/UnifiedHidAPI:31:(Upgrade):Upgrade failed (-8)\n"
            "[[HID error]] HidDfu/Win/UnifiedHidAPI:51:(resetDevice):Device reset failed (-9)\n");
        free(printed);
        api->resetError();
        QStringList texts{record.message(), api->errorRecord.message()};
        for (int code : {1, -14, -17}) // 0, -2, -8, -9 and -20 show in the printed lines
            texts << CHidDfuErrorMsg::codeToString(code);
        QCOMPARE(texts.join(" | "), "quiet:1:(none):No error, no message (0) | OK, reseted | "
                                    "Unknown EHidDufError value : 1 | Busy, operation in progress "
                                    "(-14) | Unknown EHidDufError value : -17");
        HidDfuLibrary::installForTesting(nullptr); // none lies in the test's search path
        results << api->isInError() << HidDfuLibrary::load()
                << HidDfuLibrary::errorString().isEmpty()
                << api->ConnectDevice(HIDDFU_VENDOR_ID, HIDDFU_PRODUCT_ID)
                << api->Upgrade("d.dfu", false) << api->resetDevice() << api->DisconnectDevice()
                << api->getProgress();
        QCOMPARE(results, (QList<int>{-12, -1, -3, -7, 0, 1, 0, 0, 0, -20, -20, -20, -20, 0}));
        QCOMPARE(fake.calls, "CDUURU");
    }
};

QTEST_MAIN(KernoTindalUpdateDlgTest)
#include "tst_flow.moc"
