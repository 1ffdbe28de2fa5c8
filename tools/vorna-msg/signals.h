#pragma once

// Ctrl-C and SIGTERM, taken synchronously. The constructor blocks SIGINT and SIGTERM for the calling
// thread and every thread started after it (the library's threads too), so no library thread ever has a
// system call cut short by them; the command's supervising thread then waits for them here. It also makes
// the process ignore SIGPIPE, which a write to a client that has gone may raise.
// Build it first thing in a command, before any thread exists, and only one at a time.
class StopSignals {
  public:
    enum Event { kStop, kWake, kTimeout };

    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Waits for Ctrl-C or SIGTERM (kStop), a wake() (kWake), or `timeoutMs` (kTimeout; negative waits
    // without limit). A wake() that came before the call is not lost.
    Event wait(int timeoutMs);
    // Makes the waiting thread's wait() return kWake; any thread may call it, also before that wait.
    static void wake();
    // The exit status that tells a shell which signal ended the command: 130 after SIGINT, 143 after
    // SIGTERM; 0 while no stop signal has come.
    int stopStatus() const { return mStopStatus; }

    // For commands that hold nothing outside the process: a thread that ends the process with the stop
    // status as soon as a stop signal comes.
    void endProcessOnStop();

  private:
    int mSignalFd;
    int mStopStatus = 0;
};

// For a command that has shut down cleanly after a stop signal (`status` 130 or 143): ends the process by
// that signal, with its default action, so that a shell still sees 130 or 143 and a service manager sees a
// stop by SIGTERM, which it counts as clean (exit(143) it counts as a failure). Call it once every thread
// of the command has ended and every StopSignals is gone. Returns any other status as it is.
int endByStopSignal(int status);

// Milliseconds of the monotonic clock, for deadlines.
long long monotonicMs();
// What is left until `deadlineMs` (of monotonicMs()), never below 0: a timeout for StopSignals::wait().
int msUntil(long long deadlineMs);
