#pragma once

#include <QString>

// Keeps the computer from sleeping or shutting down while the speaker is
// written and restarted: a speaker cut off half-way may not start again.
// A logind inhibitor lock on Linux, the thread's execution state on Windows.
// Held from acquire() to release() or to destruction, whichever comes first.
class SleepInhibitor {
public:
    SleepInhibitor(const QString& who, const QString& why);
    ~SleepInhibitor();
    SleepInhibitor(const SleepInhibitor&) = delete;
    SleepInhibitor& operator=(const SleepInhibitor&) = delete;

    // Without a lock the update goes on; one line on standard error says so.
    void acquire();
    void release();

private:
    QString who, why;
    bool held = false;
    int lockFd = -1; // logind's lock lasts while this descriptor is open
};
