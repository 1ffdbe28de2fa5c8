// The emulator answers like a driver: requests it does not know, and known requests with another
// argument size, fail as they would on the device.

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "devsim/devsim_fixture.h"

TEST_F(DevsimTest, UnknownRequestFailsWithNotATypewriter) {
    const int fd = open("/dev/cache", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    uint32_t range[2] = {0, 0};
    errno = 0;
    EXPECT_EQ(ioctl(fd, _IOW('C', 9, uint32_t[2]), range), -1);
    EXPECT_EQ(errno, ENOTTY);
    errno = 0;
    EXPECT_EQ(ioctl(fd, _IOW('X', 3, uint32_t[2]), range), -1);
    EXPECT_EQ(errno, ENOTTY);
    close(fd);
    EXPECT_TRUE(traced(format("ioctl /dev/cache 0x%08lx -> error %d",
                              static_cast<unsigned long>(_IOW('C', 9, uint32_t[2])), ENOTTY)));
}

TEST_F(DevsimTest, KnownRequestWithAnotherArgumentSizeFailsWithInvalidArgument) {
    const int fd = open("/dev/chunkmem", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    uint32_t words[16] = {};
    words[2] = 4096;
    errno = 0;
    EXPECT_EQ(ioctl(fd, _IOWR('C', 1, uint32_t[16]), words), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(ioctl(fd, _IOW('C', 1, uint32_t[9]), words), -1) << "a write-only allocate request";
    EXPECT_EQ(errno, EINVAL);
    close(fd);
}

TEST_F(DevsimTest, OtherFilesPassThroughUntouched) {
    const int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, "x", 1), 1);
    EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(trace(), "");
}
