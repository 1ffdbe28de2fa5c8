#pragma once

// Ctrl-C and friends, taken synchronously. The constructor blocks SIGINT, SIGTERM and the tool's wake-up
// signal for the calling thread and every thread started after it (the library's threads too), so no
// library thread ever has a system call cut short by them; the main thread then waits for them here.
// It also makes the process ignore SIGPIPE, which a write to a client that has gone may raise.
// Build it first thing in a command, before any thread exists. The signals stay blocked until the
// process ends; a wake-up still pending then is dropped with it.
class StopSignals {
  public:
    enum Event { kStop, kWake, kTimeout };

    StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Waits for Ctrl-C or SIGTERM (kStop), a wake() (kWake), or `timeoutMs` (kTimeout; negative waits
    // without limit).
    Event wait(int timeoutMs);
    // Makes the main thread's wait() return kWake; any thread may call it.
    static void wake();
};
