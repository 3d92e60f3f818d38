// The HID DFU library: the file reader and the transfer engine in-process
// against the device model, and both built libraries through their C ABI
// (the hardware one's speakers are umockdev's: tests/e2e).
#include "DfuFixtures.h"

#include "Engine.h"
#include "Host.h"
#include "HidDfu.h"
#include "VirtualBus.h"

#include <QtTest>

#include <dlfcn.h>
#include <sys/stat.h>

using namespace hiddfu;
using fixtures::dfuFile;
using fixtures::flip;
using Bytes = std::vector<std::uint8_t>;
using Codes = QVector<int>;
using ms = std::chrono::milliseconds;
using u16 = std::uint16_t;
using Seen = QVector<QPair<int, bool>>;
constexpr u16 kVid = HIDDFU_VENDOR_ID, kPid = HIDDFU_PRODUCT_ID;
Q_DECLARE_METATYPE(Bytes)

namespace {

// How a row's device or wire misbehaves (Refuse: clear-status and the end of download are
// stalled), and which build the engine stands for.
constexpr int InError = 1, Hardware = 4, Golden = 8, HugePoll = 16, ZeroPoll = 32,
              Stuck = 64, BadId = 128, Refuse = 256, Skew = 512, Short = 1024,
              Firmware = 2048;

const Bytes placeholder = dfuFile({2500, 0xFFFF, 0xFFFF, kPlaceholderMark, kCsrMagic, ~0u});

bool until(const std::function<bool()>& done) {
    for (QDeadlineTimer deadline(20000); !done(); QThread::msleep(1))
        if (deadline.hasExpired())
            return false;
    return true;
}

// Progress until it reaches 100, each value with whether the device had manifested by then
// (written its dump).
Seen watch(const std::function<int()>& progress, const QString& dump) {
    Seen seen;
    until([&] {
        const QPair<int, bool> now(progress(), QFile::exists(dump));
        if (seen.isEmpty() || seen.back() != now)
            seen << now;
        return now.first >= 100;
    });
    return seen;
}

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// One line per report; trailing zeros folded as "+N*00".
QStringList wire(const VirtualSpeaker& speaker) {
    QStringList lines;
    for (const TraceEntry& e : speaker.trace()) {
        const QString hex = QByteArray((const char*)e.bytes.data(), e.bytes.size()).toHex();
        const int used = hex.indexOf(QRegularExpression("(00)*$"));
        lines << QString("%1 %2").arg(e.direction).arg(hex.left(used)) +
                     (used < hex.size() ? QString(" +%1*00").arg((hex.size() - used) / 2) : "");
    }
    return lines;
}

// Reports the host sent: chunk lengths, C clear-status, R reset.
QStringList sent(const VirtualSpeaker& speaker) {
    QStringList out;
    for (const TraceEntry& e : speaker.trace())
        if (e.direction == 'S')
            out << (e.bytes.size() == 2 ? e.bytes[1] == kControlReset ? "R" : "C"
                                        : QString::number(e.bytes[4] | e.bytes[5] << 8));
    return out;
}

struct Wire : Transport {
    std::shared_ptr<VirtualSpeaker> model; int flags;
    Wire(std::shared_ptr<VirtualSpeaker> m, int f) : model(std::move(m)), flags(f) {}
    bool waitGone(ms) override { return !model->present(); }
    IoResult sendFeature(const std::uint8_t* data, std::size_t size) override {
        Bytes b(data, data + size);
        if (flags & Refuse && (size == 2 ? b[1] == kControlClearStatus : !b[4] && !b[5]))
            return IoResult::failed("stall");
        if (flags & Skew && size == HIDDFU_COMMAND_REPORT_SIZE && b[2] == 1)
            b[2] = 2;
        return model->setReport(b.data(), size);
    }
    IoResult getFeature(std::uint8_t* b, std::size_t size, std::size_t& received) override {
        const IoResult r = model->getReport(b, size, received);
        if (flags & ZeroPoll || (flags & HugePoll && b[kStatusStateOffset] == dfuDNBUSY))
            std::fill(b + 2, b + 5, flags & ZeroPoll ? 0 : 0xFF);
        b[kStatusStateOffset] = flags & Stuck ? std::uint8_t(dfuERROR) : b[kStatusStateOffset];
        // iString 0: taken for the status, it would say OK.
        if (flags & Firmware && b[kStatusStatusOffset] == errVERIFY)
            b[kStatusStatusOffset] = errFIRMWARE, b[kStatusStringOffset] = 0;
        b[0] = flags & BadId ? 7 : b[0];
        received = flags & Short ? kStatusStateOffset : received;
        return r;
    }
};

#define RESOLVE(name) name##_t name = reinterpret_cast<name##_t>(dlsym(handle, #name))
#define RESOLVE_AS(name) decltype(&::name) name = (decltype(&::name))dlsym(handle, #name)
struct Library {
    void* handle;
    explicit Library(const char* path) : handle(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {}
    RESOLVE(hidDfuConnect); RESOLVE(hidDfuUpgrade); RESOLVE(hidDfuGetProgress);
    RESOLVE(hidDfuResetDevice); RESOLVE(hidDfuDisconnect); RESOLVE(hidDfuVirtualSpeaker);
    RESOLVE_AS(hidDfuEnumerate); RESOLVE_AS(hidDfuOpen); RESOLVE_AS(hidDfuDeviceUpgrade);
    RESOLVE_AS(hidDfuDeviceGetProgress); RESOLVE_AS(hidDfuDeviceReset); RESOLVE_AS(hidDfuClose);
    RESOLVE_AS(hidDfuDeviceLastError);
    bool connect(u16* count = nullptr) {
        return until([=] { return hidDfuConnect(kVid, kPid, 0, 0, count) == 0; });
    }
};

using Calls = std::function<Codes(Library&)>;

} // namespace

Q_DECLARE_METATYPE(Calls)

class TestHidDfu : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void transfer_data() {
        QTest::addColumn<QString>("config");
        QTest::addColumn<int>("flags");
        QTest::addColumn<Bytes>("file");
        QTest::addColumn<QString>("expected"); // connect, upgrade, reset, reset again | sent()
        QTest::addColumn<QString>("says");
        auto row = [](const char* name, const char* config, int flags, const Bytes& file,
                      const char* expected, const char* says = "") {
            QTest::newRow(name) << QString(config) << flags << file << QString(expected) << says;
        };
        const Bytes good = dfuFile();
        const char *ok = "0 0 0 -1 | 1017 1017 466 0 R", *bad = "0 -5 -5 -5 |";
        row("golden trace", "", InError | Golden, good, "0 0 0 -1 | C 1017 1017 466 0 R");
        row("exact multiple of a chunk", "", 0, dfuFile({2034}), "0 0 0 -1 | 1017 1017 0 R");
        row("busy chunks polled after the time announced", "chunk-ms=15", 0, good, ok);
        row("huge poll timeout bounded", "chunk-ms=30", HugePoll, good, ok);
        row("zero poll timeout while busy", "chunk-ms=20", ZeroPoll, good, ok);
        row("busy for ever", "fail=busy", 0, good, "0 0 -8 -8 | 1017", "still busy 200 ms");
        row("manifestation never ends", "manifest-ms=60000", 0, good,
            "0 0 -8 -8 | 1017 1017 466 0", "manifestation not finished after 300 ms");
        row("chunk refused", "fail=chunk:2", 0, good, "0 0 -8 -8 | 1017 1017 466", "(errWRITE)");
        row("rejected", "fail=manifest", 0, good, "0 0 -16 -16 | 1017 1017 466 0", "(errVERIFY)");
        row("rejected as firmware", "fail=manifest", Firmware, good,
            "0 0 -16 -16 | 1017 1017 466 0", "(errFIRMWARE)");
        row("reset refused", "fail=reset", 0, good, "0 0 -9 -9 | 1017 1017 466 0 R R", "refused");
        row("restart with no upgrade", "", 0, Bytes(), "0 none 0 -1 | R");
        row("skipped index", "", Skew, good, "0 0 -8 -8 | 1017 1017", "index 2, expected 1");
        row("not plugged yet", "appear-after-ms=60000", 0, good, "-2 -1 -1 -1 |", "not plugged");
        row("status of another id", "", BadId, good, "-2 -1 -1 -1 |", "(7 bytes, id 7)");
        row("short status", "", Short, good, "-2 -1 -1 -1 |", "malformed status report (5 bytes");
        row("clear-status refused", "", InError | Refuse, good, "-15 -1 -1 -1 |", "stall");
        row("end of download refused", "", Refuse, good, "0 0 -8 -8 | 1017 1017 466", "end-of");
        row("stays in dfuERROR", "", InError | Stuck, good, "-15 -1 -1 -1 | C", "stays in");
        row("placeholder to the virtual speaker, any device, odd lengths", "", 0, placeholder, ok);
        row("placeholder to hardware", "", Hardware, placeholder, bad, kPlaceholderMark);
        row("15 bytes", "", 0, Bytes(good.end() - 15, good.end()), bad, "too short");
        row("signature's last letter", "", 0, flip(good, -6, 'D' ^ 'X'), bad,
            "no DFU suffix signature");
        row("suffix length", "", 0, flip(good, -5, 16 ^ 17), bad, "suffix length is 17");
        row("CRC with zlib's inversion", "", 0, flip(good, -4, 0xFF, 4), "0 -6 -6 -6 |",
            "CRC mismatch");
        row("other vendor", "", 0, dfuFile({2500, 0x046D}), bad, "for device 046d:fffe");
        row("other product", "", 0, dfuFile({2500, kVid, 0xFFFD}), bad, "0a12:fffd, not");
        row("another image magic", "", 0, dfuFile({2500, kVid, kPid, "", "CSR-dfu1"}), bad, "CSR");
        row("header cut short", "", 0, dfuFile({40}), bad, "payload is not a CSR");
        row("over 16 MiB", "", 0, Bytes(16 * 1024 * 1024 + 1), bad, "more than any DFU image");
    }

    void transfer() {
        QFETCH(QString, config);
        QFETCH(int, flags);
        QFETCH(Bytes, file);
        QFETCH(QString, says);
        const QString dump = dir.filePath(QTest::currentDataTag());
        const auto text = "appear-after-ms=0;chunk-ms=1;manifest-ms=1;dump=" + dump + ";" + config;
        SpeakerConfig c = SpeakerConfig::parse(qPrintable(text), {})[0];
        c.startInError = flags & InError;
        const auto speaker = std::make_shared<VirtualSpeaker>(c);
        speaker->recordTrace(true);
        QStringList log;
        Host host(std::make_unique<VirtualBus>(
            std::vector<std::shared_ptr<VirtualSpeaker>>{speaker},
            [flags](auto model) { return std::make_unique<Wire>(model, flags); }));
        Engine engine({bool(flags & Hardware), {ms(40), ms(200), ms(300), ms(2000)},
                       [&](const std::string& line) { log << line.c_str(); }});
        fixtures::TempFile path(file);
        u16 count = 0;
        QStringList got{QString::number(host.connect(engine, kVid, kPid, 0, 0, count))};
        got << (file.empty() ? "none" : QString::number(engine.upgrade(path.path.c_str(), 0)));
        const auto seen = got[1] == "0" ? watch([&] { return engine.progress(); }, dump) : Seen();
        QVERIFY(std::is_sorted(seen.begin(), seen.end()));
        QVERIFY(seen.isEmpty() || seen.back() == qMakePair(100, speaker->manifested()));
        got << QString::number(engine.reset()) << QString::number(engine.reset()) << "|";
        QTEST((got + sent(*speaker)).join(' '), "expected");
        QVERIFY2(log.join('\n').contains(says), qPrintable(log.join('\n')));
        QCOMPARE(log.removeDuplicates(), 0); // a failure repeated identically is written once
        QCOMPARE(speaker->violations().size(), std::size_t(flags & Skew ? 1 : 0));
        // One poll finds a chunk busy; the next, after the time it announced, finds it done.
        if (got[2] == "0")
            QVERIFY(wire(*speaker).filter(QRegularExpression("^G")).size() <=
                    (flags & ZeroPoll ? 60 : 2) * ((int(file.size()) + 1000) / 1017) + 5);
        QCOMPARE(contents(dump), speaker->manifested()
                                     ? QByteArray((char*)file.data(), file.size() - kDfuSuffixSize)
                                     : "");
        if (flags & Golden)
            QCOMPARE(wire(*speaker),
                     QString(contents(HIDDFU_GOLDEN_TRACE)).split('\n', Qt::SkipEmptyParts));
    }

    // A session of the engine with a virtual speaker, recorded, altered as a row says
    // ("pattern => replacement"), replayed by a virtual speaker to the same engine.
    void session_data() {
        QTest::addColumn<QString>("edit");
        QTest::addColumn<Bytes>("file");
        QTest::addColumn<QString>("expected"); // connect, upgrade, progress, reset
        QTest::addColumn<QString>("says");
        auto row = [](const char* name, const char* edit, const char* expected,
                      const char* says = "", const Bytes& file = dfuFile()) {
            QTest::newRow(name) << QString(edit) << file << QString(expected) << QString(says);
        };
        row("another image", "", "0 0 100 -8",
            "chunk 0 of 3 refused: replay: report 1 (chunk 0) "
            "differs from the recording at byte 38 (payload byte 32): 0x20, recorded 0x00 (-8)",
            dfuFile({2500, kVid, kPid, "KERNO TEST IMAGE 2"}));
        // A replay that kept to the recorded times would wait for hours here.
        row("a pause of hours in each status read", "^G ([0-9.]+) => G 36000000\\1", "0 0 100 0");
        row("the recorded host padded with junk",
            "^(S [0-9.]+ 1023 01010200[0-9a-f]*[1-9a-f][0-9a-f]) ok$ => \\1ffff ok", "0 0 100 0");
        row("a status read the recorded host made more",
            "^(G [0-9.]+ 7 020000000005 ok)$ => \\1\n\\1", "0 0 100 0");
        row("rejected at manifestation, as recorded",
            "^(G [0-9.]+ 7) 020000000002 ok\n(S [0-9.]+ 2 03ff) => \\1 020a0000000a04 ok\n\\2",
            "0 0 100 -16", "device rejected the written image (errFIRMWARE)");
        row("reset failed, the speaker left", "^(S [0-9.]+ 2 03ff) gone .* => "
            "\\1 failed Broken pipe\nL 1 0 - gone left", "0 0 100 0");
        row("reset failed, the speaker stayed",
            "^(S [0-9.]+ 2 03ff) gone .* => \\1 failed Broken pipe\nL 1 0 - ok", "0 0 100 -9",
            "reset report refused: Broken pipe");
        row("the recording ends early", "^S [0-9.]+ 1023 010103 ok[\\s\\S]* => ", "0 0 100 -8",
            "report 4 (end of download) comes after the end of the recording");
        row("not a recording", "^kerno.* => hello", "-2 -1 -1 -1",
            "replayed:1: not a kerno-dfu session recording");
        row("more bytes than the length", "^G ([0-9.]+) 7 (.*)\\n(S) => G \\1 2 \\2\\n\\3",
            "-2 -1 -1 -1", "replayed:7: malformed line");
    }

    void session() {
        QFETCH(QString, edit);
        QFETCH(Bytes, file);
        QFETCH(QString, says);
        const QString recording = dir.filePath("recording"), replayed = dir.filePath("replayed");
        QStringList log;
        auto run = [&](const QString& config, const Bytes& image) {
            Host host(std::make_unique<VirtualBus>(std::vector<std::shared_ptr<VirtualSpeaker>>{
                std::make_shared<VirtualSpeaker>(SpeakerConfig::parse(
                    qPrintable("appear-after-ms=0;chunk-ms=1;manifest-ms=5;" + config), {})[0])}));
            Engine engine({false, {}, [&](const std::string& line) { log << line.c_str(); }});
            fixtures::TempFile path(image);
            u16 count = 0;
            QStringList got{QString::number(host.connect(engine, kVid, kPid, 0, 0, count)),
                            QString::number(engine.upgrade(path.path.c_str(), 0))};
            until([&] { return engine.progress() >= 100 || engine.progress() < 0; });
            return (got << QString::number(engine.progress()) << QString::number(engine.reset()))
                .join(' ');
        };
        qputenv("KERNO_DFU_RECORD", recording.toUtf8());
        QCOMPARE(run("", dfuFile()), "0 0 100 0");
        qunsetenv("KERNO_DFU_RECORD");
        QString text = contents(recording);
        QVERIFY2(text.startsWith("kerno-dfu session 1\n#") &&
                     text.contains("\nlibrary libHidDfu\ndevice 0a12:fffe\nserial VIRTUAL-1\n"),
                 qPrintable(text.left(300)));
        const QRegularExpression from(edit.section(" => ", 0, 0),
                                      QRegularExpression::MultilineOption);
        QVERIFY(text.contains(from)); // an empty edit replaces the empty string with itself
        text.replace(from, edit.section(" => ", 1));
        QFile out(replayed);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(text.toUtf8()) == text.toUtf8().size());
        out.close();
        log.clear();
        QTEST(run("replay=" + replayed, file), "expected");
        QVERIFY2(log.join('\n').contains(says), qPrintable(log.join('\n')));
    }

    void speakerConfig() {
        QStringList warned;
        auto summary = [&](const QString& text) {
            const auto warn = [&](const std::string& w) { warned << w.c_str(); };
            QStringList each;
            for (const SpeakerConfig& c : SpeakerConfig::parse(qPrintable(text), warn))
                each << QString::fromStdString(c.summary());
            return each.join(" | ");
        };
        QCOMPARE(summary(" appear-after-ms=0; chunk-ms=7 ;manifest-ms=9; ;fail=unplug:12;dump=/x;"),
                 "appear-after-ms=0 chunk-ms=7 manifest-ms=9 fail=unplug:12 dump=/x");
        // Speaker items win over shared ones whatever their order; a shared dump gets the number.
        QCOMPARE(summary("2:fail=chunk:4;count=3;fail=reset;chunk-ms=7;3:dump=/y;dump=/x"),
                 "appear-after-ms=1500 chunk-ms=7 manifest-ms=2000 fail=reset dump=/x.1 | "
                 "appear-after-ms=1500 chunk-ms=7 manifest-ms=2000 fail=chunk:4 dump=/x.2 | "
                 "appear-after-ms=1500 chunk-ms=7 manifest-ms=2000 fail=reset dump=/y");
        QCOMPARE(warned, QStringList());
        // Each bad item warns once, naming its key, and spoils only itself.
        const QStringList bad = {"colour=blue", "chunk-ms=fast", "chunk-ms=-1", "manifest-ms=",
            "appear-after-ms=3600001", "appear-after-ms=99999999999", "fail=chunk", "fail=chunk:x",
            "fail=unplug:65535", "fail=explode", "fail=busy:3", "dump=", "dump=/", "word",
            "count=0", "count=65", "0:fail=reset", "65:fail=reset", "x:chunk-ms=1", "2:fail=reset"};
        for (const QString& item : bad) {
            warned.clear();
            QCOMPARE(summary(item + ";manifest-ms=5"),
                     "appear-after-ms=1500 chunk-ms=16 manifest-ms=5 fail=none");
            QVERIFY2(warned.size() == 1 && warned[0].contains(item.section('=', 0, 0)),
                     qPrintable(item + ": " + warned.join('\n')));
        }
    }

    void abi_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("own"); // exports of this build only
        QTest::newRow("virtual speaker")
            << HIDDFU_VIRTUAL_LIB << QByteArray("hidDfuVirtualSpeaker\n");
        // Its speakers are umockdev's (tests/e2e); here what needs none.
        QTest::newRow("hardware") << HIDDFU_HARDWARE_LIB << QByteArray();
    }

    void abi() {
        QFETCH(QString, path);
        QFETCH(QByteArray, own);
        QProcess nm;
        nm.start(HIDDFU_NM, {"-D", "--defined-only", "--format=just-symbols", path});
        QVERIFY(nm.waitForFinished());
        QCOMPARE(nm.readAll(), "hidDfuCheckFile\nhidDfuClose\nhidDfuConnect\nhidDfuDevice"
                               "GetProgress\nhidDfuDeviceLastError\nhidDfuDeviceReset\nhidDfuDevice"
                               "Upgrade\nhidDfuDisconnect\nhidDfuEnumerate\nhidDfuGetProgress\n"
                               "hidDfuOpen\nhidDfuResetDevice\nhidDfuUpgrade\n" + own);
        const QString dump = dir.filePath(QTest::currentDataTag()); // the models', either build
        qputenv("KERNO_VIRTUAL_SPEAKER",
                "appear-after-ms=50;chunk-ms=20;manifest-ms=100;dump=" + dump.toUtf8());
        const uint threads = QDir("/proc/self/task").count();
        Library lib(qPrintable(path));
        QVERIFY2(lib.handle, dlerror());
        QCOMPARE(lib.hidDfuVirtualSpeaker ? lib.hidDfuVirtualSpeaker() : 0, own.isEmpty() ? 0 : 1);
        u16 count = 9;
        QCOMPARE(
            Codes({lib.hidDfuGetProgress(), lib.hidDfuUpgrade("/x.dfu", 0), lib.hidDfuResetDevice(),
                   lib.hidDfuDisconnect(), lib.hidDfuConnect(0x1234, 0x5678, 0, 0, &count), count}),
            Codes({-1, -1, -1, 0, -2, 0}));
        // A path that names no device is refused unopened: hidapi would block on a pipe.
        const QByteArray fifo = QFile::encodeName(dump + ".fifo");
        hidDfuDevice* device = nullptr;
        QVERIFY(mkfifo(fifo, 0600) == 0);
        QCOMPARE(lib.hidDfuOpen(fifo, &device), HIDDFU_ERR_CONNECT);
        char text[256];
        lib.hidDfuDeviceLastError(nullptr, text, sizeof text);
        QVERIFY(QByteArray(text).contains(fifo) && !device);
        if (own.isEmpty()) {
            QCOMPARE(dlclose(lib.handle), 0);
            return;
        }
        fixtures::TempFile good(dfuFile()), refused(placeholder), big(dfuFile({300 * 1017})),
            damaged(flip(dfuFile(), 200, 1));
        QVERIFY(lib.connect(&count) && count == 1);
        QCOMPARE(Codes({lib.hidDfuUpgrade(nullptr, 0), lib.hidDfuUpgrade(good.path.c_str(), 1),
                        lib.hidDfuUpgrade("/nonexistent/x.dfu", 0), lib.hidDfuUpgrade("/", 0),
                        lib.hidDfuUpgrade(fifo, 0)}),
                 Codes({-11, -11, -3, -3, -3}));
        if (QFileInfo("/sys/power/state").size() == 4096) // delivers fewer bytes than it says
            QCOMPARE(lib.hidDfuUpgrade("/sys/power/state", 0), HIDDFU_ERR_FILE_READ);
        // Calls during a transfer are refused; disconnect cancels it: no manifestation, no dump.
        QVERIFY(!lib.hidDfuUpgrade(big.path.c_str(), 0) &&
                until([&] { return lib.hidDfuGetProgress() >= 1; }));
        QCOMPARE(Codes({lib.hidDfuUpgrade(good.path.c_str(), 0), lib.hidDfuResetDevice(),
                        lib.hidDfuConnect(kVid, kPid, 0, 0, nullptr), lib.hidDfuDisconnect(),
                        lib.hidDfuGetProgress(), lib.hidDfuResetDevice()}),
                 Codes({-14, -14, -14, 0, -1, -1}));
        // A new session starts over; progress stays below 100 until the device has manifested.
        QVERIFY(!QFile::exists(dump) && lib.connect() &&
                !lib.hidDfuUpgrade(good.path.c_str(), 0));
        const auto seen = watch(lib.hidDfuGetProgress, dump);
        QVERIFY(std::is_sorted(seen.begin(), seen.end()) && seen.contains({99, false}));
        QCOMPARE(seen.back(), qMakePair(100, true));
        // A refusal after that success replaces it: progress 0, no reset sent (the speaker stays).
        QCOMPARE(Codes({lib.hidDfuUpgrade(damaged.path.c_str(), 0), lib.hidDfuGetProgress(),
                        lib.hidDfuResetDevice()}),
                 Codes({-6, 0, -6}));
        // The virtual speaker takes the placeholder (the hardware build's refusal: transfer()).
        QCOMPARE(lib.hidDfuUpgrade(refused.path.c_str(), 0), HIDDFU_OK);
        QVERIFY(until([&] { return lib.hidDfuGetProgress() == 100; }) && !lib.hidDfuDisconnect());
        // Unloading cancels and joins a handle's busy worker.
        QVERIFY(!lib.hidDfuOpen("virtual:1", &device) &&
                !lib.hidDfuDeviceUpgrade(device, big.path.c_str(), 0) &&
                until([&] { return lib.hidDfuDeviceGetProgress(device) >= 1; }));
        QCOMPARE(dlclose(lib.handle), 0);
        QVERIFY(!dlopen(qPrintable(path), RTLD_NOW | RTLD_NOLOAD));
        QCOMPARE(QDir("/proc/self/task").count(), threads);
    }

    // The handles against a fresh virtual library with that many speakers: what each call
    // returns in turn (with counts, modes and lengths in between).
    void handles_data() {
        QTest::addColumn<int>("speakers");
        QTest::addColumn<Calls>("calls");
        QTest::addColumn<Codes>("expected");
        QTest::newRow("NULL or negative") << 1 << Calls([](Library& l) {
            hidDfuDevice* d = nullptr;
            return Codes(
                {l.hidDfuDeviceUpgrade(nullptr, "/x.dfu", 0), l.hidDfuDeviceGetProgress(nullptr),
                 l.hidDfuDeviceReset(nullptr), l.hidDfuClose(nullptr), l.hidDfuOpen(nullptr, &d),
                 l.hidDfuOpen("virtual:1", nullptr), l.hidDfuDeviceLastError(d, nullptr, 1),
                 l.hidDfuDeviceLastError(nullptr, nullptr, -1),
                 l.hidDfuEnumerate(kVid, kPid, nullptr, 1),
                 l.hidDfuEnumerate(kVid, kPid, nullptr, -1),
                 l.hidDfuEnumerate(kVid, kPid, nullptr, 0)});
        }) << Codes{-11, -11, -11, 0, -11, -11, -11, -11, -11, -11, 1};
        // "no virtual speaker at virtual:" then two bytes a character: cut at 254 of 255, 32 of 33.
        QTest::newRow("over-long path, its error cut at a character") << 1 << Calls([](Library& l) {
            hidDfuDevice* d = nullptr;
            char whole[256], cut[34];
            return Codes({l.hidDfuOpen("virtual:" + QByteArray("é").repeated(200), &d), !d,
                          l.hidDfuDeviceLastError(nullptr, whole, sizeof whole), int(strlen(whole)),
                          l.hidDfuDeviceLastError(nullptr, cut, sizeof cut), int(strlen(cut))});
        }) << Codes{-2, 1, 254, 254, 254, 32};
        // A reset handle is out of sequence; the connection and the handles hold devices apart.
        QTest::newRow("reset, open and connect") << 1 << Calls([](Library& l) {
            hidDfuDevice* d = nullptr;
            return Codes({l.hidDfuConnect(kVid, kPid, 0, 0, nullptr), l.hidDfuOpen("virtual:1", &d),
                          l.hidDfuDisconnect(), l.hidDfuOpen("virtual:1", &d),
                          l.hidDfuConnect(kVid, kPid, 0, 0, nullptr), l.hidDfuDeviceReset(d),
                          l.hidDfuDeviceUpgrade(d, "/x.dfu", 0), l.hidDfuDeviceGetProgress(d),
                          l.hidDfuDeviceReset(d), l.hidDfuClose(d)});
        }) << Codes{0, -14, 0, 0, -2, 0, -1, -1, -1, 0};
        // The five functions refuse and say how many; handles reach each, listed in use. Past the
        // room given nothing is written, though every speaker is counted.
        QTest::newRow("two speakers, room for one") << 2 << Calls([](Library& l) {
            hidDfuDeviceInfo found[2] = {};
            hidDfuDevice *one = nullptr, *two = nullptr, *none = nullptr;
            u16 count = 9;
            return Codes({l.hidDfuConnect(kVid, kPid, 0, 0, &count), count,
                          l.hidDfuEnumerate(kVid, kPid, found, 1), found[1].mode,
                          l.hidDfuEnumerate(kVid, kPid, found, 2),
                          l.hidDfuOpen(found[0].path, &one), l.hidDfuOpen(found[1].path, &two),
                          l.hidDfuOpen(found[1].path, &none), l.hidDfuOpen("virtual:3", &none),
                          l.hidDfuEnumerate(kVid, kPid, found, 2), found[0].mode, found[1].mode,
                          found[0].serial != QString(found[1].serial),
                          l.hidDfuClose(one) + l.hidDfuClose(two)});
        }) << Codes{-2, 2, 2, 0, 2, 0, 0, -14, -2, 2, 2, 2, 1, 0};
    }

    void handles() {
        QFETCH(int, speakers);
        QFETCH(Calls, calls);
        qputenv("KERNO_VIRTUAL_SPEAKER", "appear-after-ms=0;count=" + QByteArray::number(speakers));
        Library lib(HIDDFU_VIRTUAL_LIB);
        QVERIFY2(lib.handle, dlerror());
        const std::unique_ptr<void, int (*)(void*)> unload(lib.handle, dlclose); // fresh per row
        QTEST(calls(lib), "expected");
    }

    // Exits with the five functions' transfer running (unloaded with a handle's: abi()).
    void exitMidTransfer() {
        if (!qEnvironmentVariableIsSet("HIDDFU_EXIT_CHILD")) {
            qputenv("HIDDFU_EXIT_CHILD", "1");
            QCOMPARE(QProcess::execute(qApp->applicationFilePath(), {"exitMidTransfer"}), 0);
            return;
        }
        qputenv("KERNO_VIRTUAL_SPEAKER", "appear-after-ms=0;chunk-ms=20");
        Library lib(HIDDFU_VIRTUAL_LIB);
        fixtures::TempFile big(dfuFile({300 * 1017}));
        QVERIFY(lib.connect() && !lib.hidDfuUpgrade(big.path.c_str(), 0) &&
                until([&] { return lib.hidDfuGetProgress() >= 1; }));
    } // exit() cancels and joins it
};

QTEST_GUILESS_MAIN(TestHidDfu)

#include "test_hiddfu.moc"
