// Links against the installed library and uses one class of each family it includes.
#include <stdio.h>

#include <vorna/vorna.h>

int main() {
    VORNA::Mutex mutex;
    if (mutex.tryLock() != 0)
        return 1;
    mutex.unlock();
    char text[16];
    VsnPrinter::printf(text, sizeof(text), "%s", "consumer");
    printf("%s linked at %lld us\n", text, static_cast<long long>(SystemTime::getUs()));
    return 0;
}
