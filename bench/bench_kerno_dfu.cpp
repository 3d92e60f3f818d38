// kerno-dfu flash --all against 1, 4 and 16 virtual speakers at once: the
// wall time of each run against one speaker's (the devices set the pace, so
// 16 should take at most 1.1 times one), and the host CPU per chunk.
//   bench_kerno_dfu [chunk-ms]    default: the virtual speaker's own 16 ms
#include "DfuFixtures.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char** environ;

namespace {

struct Run {
    double wall = 0, cpu = 0;
    bool ok = false;
};

double seconds(const timeval& t) {
    return t.tv_sec + t.tv_usec / 1e6;
}

Run flashAll(int speakers, const std::string& image, const std::string& chunkMs) {
    const std::string log = image + ".log";
    const std::string config = "KERNO_VIRTUAL_SPEAKER=count=" + std::to_string(speakers) +
                               ";appear-after-ms=0" +
                               (chunkMs.empty() ? "" : ";chunk-ms=" + chunkMs);
    const std::string library = std::string("LD_LIBRARY_PATH=") + VIRTUAL_DIR;
    std::vector<char*> env{const_cast<char*>(config.c_str()), const_cast<char*>(library.c_str())};
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "KERNO_VIRTUAL_SPEAKER=", 22) &&
            std::strncmp(*e, "LD_LIBRARY_PATH=", 16))
            env.push_back(*e);
    env.push_back(nullptr);
    const char* argv[] = {KERNO_DFU, "flash", "--all", "--json", image.c_str(), nullptr};
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);

    Run run;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, KERNO_DFU, &files, nullptr, const_cast<char**>(argv), env.data()) != 0)
        return run;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    std::stringstream summary;
    summary << std::ifstream(log).rdbuf();
    run.ok =
        WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
        summary.str().find("\"updated\":" + std::to_string(speakers) + "}") != std::string::npos;
    posix_spawn_file_actions_destroy(&files);
    std::remove(log.c_str());
    return run;
}

} // namespace

int main(int argc, char** argv) {
    const std::string chunkMs = argc > 1 ? argv[1] : "";
    fixtures::FileLayout layout;
    layout.payloadSize = 807582 - 16; // the embedded image's size
    const fixtures::TempFile file(fixtures::dfuFile(layout));
    const std::size_t chunks = (layout.payloadSize + 1016) / 1017 + 1; // + the end of download

    std::printf("kerno-dfu flash --all, %zu-byte image, %zu reports per speaker, chunk-ms=%s\n",
                layout.payloadSize, chunks, chunkMs.empty() ? "16 (default)" : chunkMs.c_str());
    std::printf("speakers   wall (s)   vs one   host CPU (s)   CPU per chunk (us)\n");
    double one = 0;
    for (int speakers : {1, 4, 16}) {
        const Run run = flashAll(speakers, file.path, chunkMs);
        if (!run.ok) {
            std::fprintf(stderr, "bench_kerno_dfu: the update of %d speakers failed\n", speakers);
            return 1;
        }
        one = speakers == 1 ? run.wall : one;
        const double ratio = run.wall / one;
        std::printf("%8d   %8.3f   %6.3f   %12.3f   %18.1f%s\n", speakers, run.wall, ratio, run.cpu,
                    run.cpu / double(speakers * chunks) * 1e6,
                    speakers == 16
                        ? (ratio <= 1.1 ? "   (target <= 1.1: met)" : "   (target <= 1.1: MISSED)")
                        : "");
    }
    return 0;
}
