#include <unistd.h>

#include "vorna/time.h"

namespace VORNA {

void Sleep::sleepSecond(int seconds) {
    if (seconds > 0)
        ::sleep(static_cast<unsigned>(seconds));
}

void Sleep::sleepUs(int us) {
    if (us > 0)
        usleep(static_cast<useconds_t>(us));
}

void Sleep::sleep(int ms) {
    if (ms <= 0)
        return;
    if (ms >= 1000)
        ::sleep(static_cast<unsigned>(ms / 1000));
    sleepUs((ms % 1000) * 1000);
}

}  // namespace VORNA
