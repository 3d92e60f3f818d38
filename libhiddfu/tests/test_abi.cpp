// The built libraries through their C ABI, loaded the way the updater loads
// them: exports, call order, unloading and exiting during a transfer.
#include "DfuFixtures.h"
#include "Harness.h"

#include "HidDfu.h"

#include <dlfcn.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {

using std::chrono::milliseconds;
constexpr milliseconds kHang{20000};

struct Library {
    void* handle = nullptr;
    hidDfuConnect_t connect = nullptr;
    hidDfuUpgrade_t upgrade = nullptr;
    hidDfuGetProgress_t progress = nullptr;
    hidDfuResetDevice_t reset = nullptr;
    hidDfuDisconnect_t disconnect = nullptr;

    explicit Library(const char* path) {
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            std::fprintf(stderr, "dlopen %s: %s\n", path, dlerror());
            return;
        }
        connect = reinterpret_cast<hidDfuConnect_t>(dlsym(handle, "hidDfuConnect"));
        upgrade = reinterpret_cast<hidDfuUpgrade_t>(dlsym(handle, "hidDfuUpgrade"));
        progress = reinterpret_cast<hidDfuGetProgress_t>(dlsym(handle, "hidDfuGetProgress"));
        reset = reinterpret_cast<hidDfuResetDevice_t>(dlsym(handle, "hidDfuResetDevice"));
        disconnect = reinterpret_cast<hidDfuDisconnect_t>(dlsym(handle, "hidDfuDisconnect"));
    }
    bool complete() const { return connect && upgrade && progress && reset && disconnect; }
    bool connectWhenPresent() {
        return harness::waitFor([this] { return connect(0x0A12, 0xFFFE, 0, 0, nullptr) == 0; },
                                kHang);
    }
    void unload() {
        if (handle)
            dlclose(handle);
        handle = nullptr;
    }
};

// Big enough that a transfer is surely running when we act.
std::vector<std::uint8_t> longImage() {
    fixtures::DfuSpec spec;
    spec.payloadSize = 300 * 1017;
    return fixtures::dfuFile(spec);
}

} // namespace

TEST(abi_calls_before_connect) {
    Library lib(HIDDFU_VIRTUAL_LIB);
    CHECK(lib.complete());
    CHECK_EQ(lib.progress(), HIDDFU_ERR_SEQUENCE);
    CHECK_EQ(lib.upgrade("/nonexistent.dfu", 0), HIDDFU_ERR_SEQUENCE);
    CHECK_EQ(lib.reset(), HIDDFU_ERR_SEQUENCE);
    CHECK_EQ(lib.disconnect(), HIDDFU_OK);
    lib.unload();
}

TEST(abi_whole_update_then_busy_and_disconnect) {
    Library lib(HIDDFU_VIRTUAL_LIB);
    CHECK(lib.complete());
    CHECK(lib.connectWhenPresent());
    fixtures::TempFile file(longImage());
    CHECK_EQ(lib.upgrade(file.path.c_str(), 0), HIDDFU_OK);
    CHECK_EQ(lib.upgrade(file.path.c_str(), 0), HIDDFU_ERR_BUSY);
    CHECK(harness::waitFor([&] { return lib.progress() >= 1; }, kHang));
    CHECK_EQ(lib.disconnect(), HIDDFU_OK);
    CHECK_EQ(lib.progress(), HIDDFU_ERR_SEQUENCE);

    CHECK(lib.connectWhenPresent());
    fixtures::TempFile small(fixtures::dfuFile());
    CHECK_EQ(lib.upgrade(small.path.c_str(), 0), HIDDFU_OK);
    CHECK(harness::waitFor([&] { return lib.progress() >= 100; }, kHang));
    CHECK_EQ(lib.progress(), 100);
    CHECK_EQ(lib.reset(), HIDDFU_OK);
    lib.unload();
}

TEST(abi_unload_during_a_transfer) {
    Library lib(HIDDFU_VIRTUAL_LIB);
    CHECK(lib.complete());
    CHECK(lib.connectWhenPresent());
    fixtures::TempFile file(longImage());
    CHECK_EQ(lib.upgrade(file.path.c_str(), 0), HIDDFU_OK);
    CHECK(harness::waitFor([&] { return lib.progress() >= 1; }, kHang));
    lib.unload(); // the library's destructor cancels and joins its worker
    CHECK(dlopen(HIDDFU_VIRTUAL_LIB, RTLD_NOW | RTLD_NOLOAD) == nullptr);
}

TEST(abi_exit_during_a_transfer) {
    char self[] = "/proc/self/exe";
    char mode[] = "--exit-mid-transfer";
    char* argv[] = {self, mode, nullptr};
    pid_t child = 0;
    CHECK_EQ(posix_spawn(&child, self, nullptr, nullptr, argv, environ), 0);
    int status = 0;
    const bool ended = harness::waitFor(
        [&] { return waitpid(child, &status, WNOHANG) == child; }, kHang);
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    CHECK(ended);
    CHECK(WIFEXITED(status));
    CHECK_EQ(WEXITSTATUS(status), 42);
}

TEST(abi_hardware_build_without_a_speaker) {
    Library lib(HIDDFU_HARDWARE_LIB);
    CHECK(lib.complete());
    CHECK_EQ(lib.upgrade("/nonexistent.dfu", 0), HIDDFU_ERR_SEQUENCE);
    CHECK_EQ(lib.progress(), HIDDFU_ERR_SEQUENCE);
    std::uint16_t count = 9;
    const std::int32_t connected = lib.connect(0x0A12, 0xFFFE, 0, 0, &count);
    if (connected == HIDDFU_OK) {
        std::fprintf(stderr, "   (a real speaker is attached; left alone)\n");
        CHECK_EQ(lib.disconnect(), HIDDFU_OK);
    } else {
        CHECK_EQ(connected, HIDDFU_ERR_CONNECT);
        CHECK_EQ(count, 0);
    }
    lib.unload();
}

// Run with the stand-in hidapi first in the library path.
static int hardwareOnFakeHidapi() {
    Library lib(HIDDFU_HARDWARE_LIB);
    if (!lib.complete())
        return 1;
    std::uint16_t count = 0;
    if (lib.connect(0x0A12, 0xFFFE, 0, 0, &count) != HIDDFU_OK || count != 1) {
        std::fprintf(stderr, "hardware build did not reach the stand-in device\n");
        return 2;
    }
    fixtures::DfuSpec placeholder;
    placeholder.description = "KERNO PLACEHOLDER - not a speaker firmware, never flash";
    fixtures::TempFile refused(fixtures::dfuFile(placeholder));
    if (lib.upgrade(refused.path.c_str(), 0) != HIDDFU_ERR_FILE_INVALID) {
        std::fprintf(stderr, "hardware build accepted the placeholder image\n");
        return 3;
    }
    fixtures::TempFile real(fixtures::dfuFile());
    if (lib.upgrade(real.path.c_str(), 0) != HIDDFU_OK ||
        !harness::waitFor([&] { return lib.progress() >= 100; }, kHang))
        return 4;
    // The model restarts before acknowledging: hidapi sees the send fail.
    const std::int32_t reset = lib.reset();
    if (reset != HIDDFU_OK) {
        std::fprintf(stderr, "reset returned %d\n", reset);
        return 5;
    }
    std::fprintf(stderr, "hardware build over the stand-in hidapi: ok\n");
    return 0;
}

static int exitMidTransfer() {
    Library lib(HIDDFU_VIRTUAL_LIB);
    if (!lib.complete() || !lib.connectWhenPresent())
        return 1;
    fixtures::TempFile file(longImage());
    if (lib.upgrade(file.path.c_str(), 0) != HIDDFU_OK)
        return 2;
    if (!harness::waitFor([&] { return lib.progress() >= 1; }, kHang))
        return 3;
    return 42; // exit() now runs the library's destructors with the worker busy
}

int main(int argc, char** argv) {
    // Fast device, short appearance delay: the whole suite stays quick.
    setenv("KERNO_VIRTUAL_SPEAKER", "appear-after-ms=50;chunk-ms=2;manifest-ms=20", 1);
    if (argc == 2 && std::strcmp(argv[1], "--hardware-on-fake-hidapi") == 0)
        return hardwareOnFakeHidapi();
    if (argc == 2 && std::strcmp(argv[1], "--exit-mid-transfer") == 0)
        return exitMidTransfer();
    return harness::runAll(argc, argv);
}
