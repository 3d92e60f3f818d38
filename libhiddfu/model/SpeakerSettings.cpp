#include "SpeakerSettings.h"

#include <algorithm>
#include <iterator>

#include <sys/stat.h>

namespace hiddfu {
namespace {

using std::chrono::milliseconds;
constexpr long kMaxMs = 3600000; // one hour: anything longer is a typo

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

using Fail = SpeakerConfig::Fail;
// In the order of Fail.
const char* const kFailNames[] = {"none", "connect", "chunk", "unplug", "manifest", "reset", "busy"};

using Warn = std::function<void(const std::string&)>;

// One key=value item onto config; name is the key as written (with its "N:").
// Warns and leaves config as it was when the item is bad.
void apply(SpeakerConfig& config, const std::string& key, const std::string& name,
           std::string_view value, const Warn& warn) {
    auto bad = [&](const char* want, const std::string& fallback) {
        warn("KERNO_VIRTUAL_SPEAKER: malformed value '" + std::string(value) + "' for " + name +
             " (want " + want + "); using the default " + fallback);
    };
    long number = 0;
    if (key == "appear-after-ms" || key == "chunk-ms" || key == "manifest-ms") {
        milliseconds& target = key == "appear-after-ms" ? config.appearAfter
                               : key == "chunk-ms"      ? config.chunkBusy
                                                        : config.manifest;
        if (parseNumber(value, kMaxMs, number))
            target = milliseconds(number);
        else
            bad("milliseconds, 0 to 3600000", std::to_string(target.count()));
    } else if (key == "fail") {
        const std::size_t colon = value.find(':');
        const std::string_view mode = value.substr(0, colon);
        const bool hasArg = colon != std::string_view::npos;
        const auto named = std::find(std::begin(kFailNames) + 1, std::end(kFailNames), mode);
        const Fail fail = Fail(named == std::end(kFailNames) ? 0 : named - kFailNames);
        const bool atChunk = fail == Fail::Chunk || fail == Fail::Unplug; // these take an index
        if (fail != Fail::None && hasArg == atChunk &&
            (!atChunk || parseNumber(value.substr(colon + 1), 0xFFFE, number))) {
            config.fail = fail;
            config.failChunk = atChunk ? static_cast<unsigned>(number) : config.failChunk;
        } else
            bad("connect, chunk:K, unplug:K, manifest, reset or busy", "none");
    } else if (key == "replay") {
        if (value.empty())
            bad("a recording's path", "of the model");
        else
            config.replayPath = std::string(value);
    } else if (key == "dump") {
        if (value.empty())
            bad("a file path", "of no dump");
        else
            config.dumpPath = std::string(value);
    } else {
        warn("KERNO_VIRTUAL_SPEAKER: unknown key '" + name +
             "' (known: count, appear-after-ms, chunk-ms, manifest-ms, fail, dump, replay, each "
             "but count also as N:key); ignored");
    }
}

} // namespace

bool parseNumber(std::string_view text, long max, long& out) {
    if (text.empty() || text.size() > 9)
        return false;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    if (value > max)
        return false;
    out = value;
    return true;
}

std::vector<SpeakerConfig> SpeakerConfig::parse(const char* text, const Warn& warn) {
    struct Item {
        std::size_t speaker; // 0: every speaker
        std::string key, name, value;
    };
    std::vector<Item> items;
    std::size_t count = 1;
    const std::string_view all(text ? text : "");
    for (std::size_t start = 0; start <= all.size();) {
        std::size_t end = all.find(';', start);
        if (end == std::string_view::npos)
            end = all.size();
        const std::string_view item = trim(all.substr(start, end - start));
        start = end + 1;
        if (item.empty())
            continue;
        const std::size_t eq = item.find('=');
        if (eq == std::string_view::npos) {
            warn("KERNO_VIRTUAL_SPEAKER: item '" + std::string(item) +
                 "' is not key=value; ignored");
            continue;
        }
        const std::string name(trim(item.substr(0, eq)));
        const std::string value(trim(item.substr(eq + 1)));
        std::string_view key = name;
        long speaker = 0;
        if (const std::size_t colon = key.find(':'); colon != std::string_view::npos) {
            if (!parseNumber(key.substr(0, colon), kMaxVirtualSpeakers, speaker) || speaker == 0) {
                warn("KERNO_VIRTUAL_SPEAKER: '" + name +
                     "' does not name a speaker from 1 to 64; ignored");
                continue;
            }
            key = trim(key.substr(colon + 1));
        }
        long number = 0;
        if (key == "count" && speaker == 0) {
            if (parseNumber(value, kMaxVirtualSpeakers, number) && number > 0)
                count = static_cast<std::size_t>(number);
            else
                warn("KERNO_VIRTUAL_SPEAKER: malformed value '" + value +
                     "' for count (want 1 to 64); using " + std::to_string(count));
            continue;
        }
        items.push_back({static_cast<std::size_t>(speaker), std::string(key), name, value});
    }

    std::vector<SpeakerConfig> configs(count);
    const Warn silent = [](const std::string&) {};
    for (const Item& item : items) // every speaker's first, so "N:" items win
        for (std::size_t i = 0; item.speaker == 0 && i < count; ++i)
            apply(configs[i], item.key, item.name, item.value, i == 0 ? warn : silent);
    for (std::size_t i = 0; count > 1 && i < count; ++i)
        if (!configs[i].dumpPath.empty())
            configs[i].dumpPath += "." + std::to_string(i + 1);
    for (const Item& item : items) {
        if (item.speaker > count)
            warn("KERNO_VIRTUAL_SPEAKER: '" + item.name + "' names speaker " +
                 std::to_string(item.speaker) + " of " + std::to_string(count) + "; ignored");
        else if (item.speaker > 0)
            apply(configs[item.speaker - 1], item.key, item.name, item.value, warn);
    }
    // The dump is written beside and renamed over its path: anything there but a
    // regular file (a folder, a pipe, a device) is left alone.
    for (SpeakerConfig& config : configs) {
        struct stat st {};
        if (!config.dumpPath.empty() && ::stat(config.dumpPath.c_str(), &st) == 0 &&
            !S_ISREG(st.st_mode)) {
            warn("KERNO_VIRTUAL_SPEAKER: dump path '" + config.dumpPath +
                 "' is not a regular file; no dump");
            config.dumpPath.clear();
        }
    }
    return configs;
}

std::string SpeakerConfig::summary() const {
    std::string s = "appear-after-ms=" + std::to_string(appearAfter.count()) +
                    " chunk-ms=" + std::to_string(chunkBusy.count()) +
                    " manifest-ms=" + std::to_string(manifest.count()) + " fail=" + kFailNames[int(fail)];
    if (fail == Fail::Chunk || fail == Fail::Unplug)
        s += ":" + std::to_string(failChunk);
    if (!dumpPath.empty())
        s += " dump=" + dumpPath;
    if (!replayPath.empty())
        s += " replay=" + replayPath;
    return s;
}

} // namespace hiddfu
