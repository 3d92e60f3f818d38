// kerno-dfu info and check: what a DFU file holds, and whether flash would write it.
#include "Cli.h"

namespace cli {
namespace {

QString hex4(unsigned value) {
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

QString target(const hidDfuFileInfo& info) {
    const auto id = [](unsigned v) { return v == 0xFFFF ? QStringLiteral("any") : hex4(v); };
    return id(info.idVendor) + ':' + id(info.idProduct);
}

} // namespace

int runInfo(const Options& options, const QString& file) {
    hidDfuFileInfo info{};
    QString why;
    const bool writable = checkFile(file, info, why);
    if (!writable && !info.fileSize && !options.json) { // not even read: nothing to show
        printError("refused: " + why);
        return kFileRefused;
    }
    const QString version = printable(QString::fromUtf8(info.description));
    const QString crc = QStringLiteral("0x%1").arg(info.crc, 8, 16, QLatin1Char('0'));
    const QString suffix = QStringLiteral("DFU %1.%2, bcdDevice 0x%3")
                               .arg(info.bcdDfu >> 8)
                               .arg(info.bcdDfu & 0xFF, 2, 16, QLatin1Char('0'))
                               .arg(hex4(info.bcdDevice));
    if (options.json) {
        QJsonObject object{{"file", printable(file)}, {"writable", writable}, {"refused", why}};
        if (info.fileSize) { // read, at least: what it holds
            object.insert("size", qint64(info.fileSize));
            object.insert("suffix", suffix);
            object.insert("crc", crc);
            object.insert("target", target(info));
            object.insert("version", version);
            object.insert("placeholder", bool(info.placeholder));
        }
        printJson(object);
        if (!writable) // for the summary, and for whoever reads standard error
            printError("refused: " + why);
    } else {
        printLine("file         " + printable(file));
        printLine(QStringLiteral("size         %1 bytes").arg(info.fileSize));
        printLine("suffix       " + suffix);
        printLine("CRC          " + crc + " (correct)");
        printLine("target       " + target(info));
        printLine("version      " + version);
        printLine(QStringLiteral("placeholder  ") + (info.placeholder ? "yes" : "no"));
        if (!writable)
            printLine("refused      " + why);
    }
    return writable ? kDone : kFileRefused;
}

int runCheck(const Options& options, const QString& file) {
    if (options.json) // the one line as an object: info's
        return runInfo(options, file);
    hidDfuFileInfo info{};
    QString why;
    if (!checkFile(file, info, why)) {
        printLine("refused: " + why);
        return kFileRefused;
    }
    printLine(QStringLiteral("%1: firmware for %2, version \"%3\"%4")
                  .arg(printable(file), target(info),
                       printable(QString::fromUtf8(info.description)),
                       info.placeholder ? " (placeholder: virtual speaker only)" : ""));
    return kDone;
}

} // namespace cli
