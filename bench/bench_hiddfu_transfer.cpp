// A whole virtual update of an image the size of the embedded one, at the
// virtual speaker's default timing: wall time against the device model's own
// floor (its busy and manifestation times), and the host's cost per chunk.
#include "DfuFixtures.h"

#include "Engine.h"
#include "VirtualSpeaker.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <thread>

using namespace hiddfu;
using Clock = std::chrono::steady_clock;

namespace {

double cpuSeconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Run {
    double wall = 0, floor = 0, workerCpu = 0;
    std::size_t chunks = 0;
    bool ok = false;
};

Run update(const std::string& path, std::size_t payload, SpeakerConfig config) {
    config.appearAfter = std::chrono::milliseconds(0);
    auto speaker = std::make_shared<VirtualSpeaker>(config);
    Engine engine(Engine::Options{});
    Run run;
    run.chunks = (payload + kMaxChunkPayload - 1) / kMaxChunkPayload;
    if (engine.open(makeVirtualTransport(speaker)) != 0)
        return run;
    const double cpu0 = cpuSeconds(RUSAGE_SELF), main0 = cpuSeconds(RUSAGE_THREAD);
    const auto t0 = Clock::now();
    if (engine.upgrade(path.c_str(), 0) != 0)
        return run;
    // 1 ms steps: at most 1 ms of error on a run of seconds.
    while (engine.progress() < 100)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    run.wall = std::chrono::duration<double>(Clock::now() - t0).count();
    run.workerCpu = (cpuSeconds(RUSAGE_SELF) - cpu0) - (cpuSeconds(RUSAGE_THREAD) - main0);
    run.floor = std::chrono::duration<double>(speaker->timeFloor()).count();
    run.ok = engine.reset() == 0 && speaker->receivedImage().size() == payload;
    return run;
}

} // namespace

int main() {
    fixtures::FileLayout layout;
    layout.payloadSize = 807582 - 16; // the embedded image's size
    const fixtures::TempFile file(fixtures::dfuFile(layout));

    const SpeakerConfig defaults;
    const Run real = update(file.path, layout.payloadSize, defaults);
    SpeakerConfig instant;
    instant.chunkBusy = instant.manifest = std::chrono::milliseconds(0);
    const Run bare = update(file.path, layout.payloadSize, instant);
    if (!real.ok || !bare.ok) {
        std::fprintf(stderr, "bench_hiddfu_transfer: the virtual update failed\n");
        return 1;
    }
    const double ratio = real.wall / real.floor;
    std::printf("virtual update of %zu bytes, %zu chunks + end of download\n", layout.payloadSize,
                real.chunks);
    std::printf("default timing: chunk-ms=%lld manifest-ms=%lld\n",
                static_cast<long long>(defaults.chunkBusy.count()),
                static_cast<long long>(defaults.manifest.count()));
    std::printf("  wall time                 %8.3f s\n", real.wall);
    std::printf("  device model's floor      %8.3f s\n", real.floor);
    std::printf("  ratio wall / floor        %8.4f  (target <= 1.02: %s)\n", ratio,
                ratio <= 1.02 ? "met" : "MISSED");
    std::printf("  wait overshoot per chunk  %8.1f us\n",
                (real.wall - real.floor) / real.chunks * 1e6);
    std::printf("  worker CPU per chunk      %8.1f us\n", real.workerCpu / real.chunks * 1e6);
    std::printf("zero device time (host and model only)\n");
    std::printf("  wall per chunk            %8.1f us\n", bare.wall / bare.chunks * 1e6);
    std::printf("  worker CPU per chunk      %8.1f us\n", bare.workerCpu / bare.chunks * 1e6);
    return 0;
}
