// The emulator answers like a driver: requests it does not know fail with ENOTTY, and known requests with
// another argument size with EINVAL, as they would on the device; other files pass through untraced.

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "devsim/devsim_fixture.h"

TEST_F(DevsimTest, RequestsTheDriverWouldRefuseFailAndOtherFilesPassThrough) {
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    ASSERT_GE(null, 0);
    EXPECT_EQ(write(null, "x", 1), 1);
    EXPECT_EQ(close(null), 0);
    EXPECT_EQ(trace(), "");

    uint32_t words[16] = {0, 0, 4096};
    const struct {
        const char* device;
        unsigned long request;
        int error;
    } cases[] = {
        {"/dev/cache", _IOW('C', 9, uint32_t[2]), ENOTTY},
        {"/dev/cache", _IOW('X', 3, uint32_t[2]), ENOTTY},
        {"/dev/chunkmem", _IOWR('C', 1, uint32_t[16]), EINVAL},
        {"/dev/chunkmem", _IOW('C', 1, uint32_t[9]), EINVAL},  // a write-only allocate request
    };
    for (const auto& c : cases) {
        const int fd = open(c.device, O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        errno = 0;
        EXPECT_EQ(ioctl(fd, c.request, words), -1) << std::hex << c.request;
        EXPECT_EQ(errno, c.error) << std::hex << c.request;
        close(fd);
    }
    EXPECT_TRUE(traced(format("ioctl /dev/cache 0x%08lx -> error %d", cases[0].request, ENOTTY)));
}
