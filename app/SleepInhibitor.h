#pragma once

#include <QString>

#include <atomic>
#include <thread>

// Keeps the computer from sleeping or shutting down while the speaker is
// written and restarted: a speaker cut off half-way may not start again.
// A logind inhibitor lock on Linux, the thread's execution state on Windows.
// Held from acquire() to release() or to destruction, whichever comes first.
//
// logind is asked off the window's thread, over the system bus spoken directly:
// a bus that accepts and never answers must not hold the window, and only a
// socket of our own can be given up at once.
class SleepInhibitor {
public:
    // The whole of it, connection included; after that the update goes on without the lock.
    static constexpr int kBoundMs = 3000;

    SleepInhibitor(const QString& who, const QString& why);
    ~SleepInhibitor();
    SleepInhibitor(const SleepInhibitor&) = delete;
    SleepInhibitor& operator=(const SleepInhibitor&) = delete;

    // Starts asking; settled() tells when the answer, or the bound, has come.
    void acquire();
    // True once acquire() has its lock or has given up; one line on standard error says
    // why there is no lock.
    bool settled();
    bool isHeld() const { return lockFd >= 0 || heldOnWindows; }
    QString whyNotHeld() const { return whyNone; }
    void release();

private:
    void ask();

    QString who, why;
    bool asked = false, told = false, heldOnWindows = false;
    int lockFd = -1;          // logind's lock lasts while this descriptor is open
    int cancel[2] = {-1, -1}; // its write end's closing gives the asking thread up
    std::thread asking;
    std::atomic<bool> answered{false};
    int answeredFd = -1; // from the asking thread, read once answered
    QString whyNone;
};
