// A short tour of the library: two named threads hand work to each other through a semaphore and a
// condition variable, and the library's own log lines show the thread lifecycle.

#include <stdio.h>

#include "vorna/vorna.h"

namespace {

// Produces `count` numbers, one each time the consumer asks for the next with the semaphore.
class Producer : public VORNA::Thread {
  public:
    Producer(VORNA::Mutex& mutex, VORNA::Condition& ready, VORNA::Semaphore& wanted, int& slot, int count)
        : Thread(NULL), mMutex(mutex), mReady(ready), mWanted(wanted), mSlot(slot), mLeft(count) {}
    ~Producer() override {}

  protected:
    bool threadLoop() override {
        mWanted.wait();
        mMutex.lock();
        mSlot = mLeft * mLeft;
        mReady.signal();
        mMutex.unlock();
        return --mLeft > 0;
    }

  private:
    VORNA::Mutex& mMutex;
    VORNA::Condition& mReady;
    VORNA::Semaphore& mWanted;
    int& mSlot;
    int mLeft;
};

}  // namespace

int main() {
    VORNA::Mutex mutex;
    VORNA::Condition ready;
    VORNA::Semaphore wanted;
    int slot = -1;
    const int kCount = 5;

    Producer producer(mutex, ready, wanted, slot, kCount);
    printf("starting a producer thread named \"demo.producer\"\n");
    producer.run("demo.producer", 10, -10);

    for (int i = 0; i < kCount; ++i) {
        mutex.lock();
        slot = -1;
        wanted.post();
        while (slot < 0)
            ready.wait(mutex, 1000);
        printf("consumer received %d at %lld us\n", slot, static_cast<long long>(SystemTime::getUs()));
        mutex.unlock();
    }
    producer.join();
    printf("producer ended; asking it to exit again shows the library's warning:\n");
    producer.requestExit();

    char text[8];
    const int length = VsnPrinter::printf(text, sizeof(text), "%s", "truncated text");
    printf("VsnPrinter kept \"%s\" of %d characters\n", text, length);
    return 0;
}
