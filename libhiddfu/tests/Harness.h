// A tiny test harness: TEST(name) registers a case, CHECK/CHECK_EQ report
// and end the case on failure; main() runs all cases or those named.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace harness {

struct Case {
    const char* name;
    void (*run)();
};

inline std::vector<Case>& cases() {
    static std::vector<Case> all;
    return all;
}

inline int& failures() {
    static int count = 0;
    return count;
}

struct Registrar {
    Registrar(const char* name, void (*run)()) { cases().push_back({name, run}); }
};

inline void fail(const char* file, int line, const std::string& what) {
    ++failures();
    std::fprintf(stderr, "%s:%d: FAIL: %s\n", file, line, what.c_str());
}

template <typename T> std::string show(const T& value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

// Waits for a condition, bounded; true when it held in time.
inline bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline int runAll(int argc, char** argv) {
    int ran = 0;
    for (const Case& c : cases()) {
        bool wanted = argc < 2;
        for (int i = 1; i < argc; ++i)
            wanted = wanted || std::strcmp(argv[i], c.name) == 0;
        if (!wanted)
            continue;
        const int before = failures();
        std::fprintf(stderr, "-- %s\n", c.name);
        c.run();
        std::fprintf(stderr, "   %s\n", failures() == before ? "ok" : "FAILED");
        ++ran;
    }
    std::fprintf(stderr, "%d case(s), %d failure(s)\n", ran, failures());
    return failures() == 0 && ran > 0 ? 0 : 1;
}

} // namespace harness

#define TEST(name)                                                                                 \
    static void name();                                                                            \
    static const harness::Registrar name##_registrar(#name, name);                                 \
    static void name()

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            harness::fail(__FILE__, __LINE__, #cond);                                              \
            return;                                                                                \
        }                                                                                          \
    } while (0)

#define CHECK_EQ(actual, expected)                                                                 \
    do {                                                                                           \
        const auto& a_ = (actual);                                                                 \
        const auto& e_ = (expected);                                                               \
        if (!(a_ == e_)) {                                                                         \
            harness::fail(__FILE__, __LINE__,                                                      \
                          std::string(#actual " == " #expected ": got ") + harness::show(a_) +     \
                              ", expected " + harness::show(e_));                                  \
            return;                                                                                \
        }                                                                                          \
    } while (0)
