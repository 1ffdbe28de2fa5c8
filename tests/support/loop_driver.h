#pragma once

// Drives an object's event-loop mode as an application's own poll loop would: waits until its descriptor
// is readable and calls its dispatch(), on a thread of its own, until stopped or until dispatch() says the
// object no longer runs in loop mode.

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include <gtest/gtest.h>

namespace testing_support {

class LoopDriver {
  public:
    template <class Loop>
    explicit LoopDriver(Loop& loop) : LoopDriver(loop.fd(), [&loop] { return loop.dispatch(); }) {}
    LoopDriver(int fd, const std::function<int()>& dispatch)
        : mStop(eventfd(0, EFD_CLOEXEC)), mThread([this, fd, dispatch] { run(fd, dispatch); }) {}
    ~LoopDriver() { stop(); }
    LoopDriver(const LoopDriver&) = delete;
    LoopDriver& operator=(const LoopDriver&) = delete;

    // Ends the loop and waits for it. Call it before the object leaves loop mode when the test can.
    void stop() {
        if (!mThread.joinable())
            return;
        const uint64_t one = 1;
        (void)!write(mStop, &one, sizeof(one));
        mThread.join();
        close(mStop);
    }

  private:
    void run(int fd, const std::function<int()>& dispatch) {
        pollfd watched[2] = {{fd, POLLIN, 0}, {mStop, POLLIN, 0}};
        for (;;) {
            // A signal only interrupts the wait, as in any real loop.
            if (poll(watched, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                ADD_FAILURE() << "the test's event loop failed: " << strerror(errno);
                return;
            }
            // A descriptor closed under the loop (the object left loop mode) ends it, as a real loop's
            // source would be removed.
            if (watched[1].revents != 0 || (watched[0].revents & POLLNVAL) ||
                (watched[0].revents && dispatch() < 0))
                return;
        }
    }

    const int mStop;
    std::thread mThread;
};

}  // namespace testing_support
