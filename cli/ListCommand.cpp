// kerno-dfu list: the speakers present, one per line.
#include "Cli.h"

#include "SignalWatcher.h"

namespace cli {

int runList(const Options& options) {
    const QVector<Speaker> speakers = listSpeakers(options);
    for (const Speaker& speaker : speakers) {
        if (options.json)
            printJson({{"path", speaker.path},
                       {"serial", speaker.serial},
                       {"mode", modeName(speaker.mode)}});
        else // tab-separated: cut -f1 gives the paths
            printLine(speaker.path + '\t' + speaker.serial + '\t' + modeName(speaker.mode));
    }
    if (SignalWatcher::caught())
        return kSignalBase + SignalWatcher::caught();
    return speakers.isEmpty() ? kNoSpeaker : kDone;
}

} // namespace cli
