#pragma once

// Tests that run against the device emulator (libvorna-devsim.so, preloaded by the build). Each test gets
// a pool and a trace of its own through the emulator's environment variables; children inherit them.

#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "support/child.h"
#include "vorna/memory.h"

class DevsimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* preload = getenv("LD_PRELOAD");
        ASSERT_TRUE(preload != NULL && strstr(preload, "vorna-devsim") != NULL)
            << "these tests need libvorna-devsim.so in LD_PRELOAD";
        setenv("VORNA_DEVSIM_POOL", mPool.c_str(), 1);
        unsetenv("VORNA_DEVSIM_FAIL");
        // The emulator keeps a descriptor of its pool from the first device open on; take it now, so
        // that descriptor counts in the tests see only the library's.
        close(open("/dev/mem", O_RDWR | O_CLOEXEC));
        setenv("VORNA_DEVSIM_TRACE", mTrace.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("VORNA_DEVSIM_TRACE");
        unlink(mPool.c_str());
        unlink(mTrace.c_str());
    }

    // Every line the emulator traced so far.
    std::string trace() const { return testing_support::readFile(mTrace); }
    bool traced(const std::string& line) const { return trace().find(line + "\n") != std::string::npos; }
    // Makes the given devices missing or the given requests fail (comma-separated), or nothing for "".
    static void injectFailures(const char* items) { setenv("VORNA_DEVSIM_FAIL", items, 1); }

  private:
    const std::string mPool = "/tmp/" + testing_support::uniqueName("devsim.pool");
    const std::string mTrace = "/tmp/" + testing_support::uniqueName("devsim.trace");
};

// Holds hwmem_init() for one test (a deinit without an init also returns 0).
class HwmemTest : public DevsimTest {
  protected:
    void SetUp() override {
        DevsimTest::SetUp();
        ASSERT_TRUE(HasFatalFailure() || hwmem_init() == 0) << "hwmem_init() failed";
    }
    void TearDown() override {
        EXPECT_EQ(hwmem_deinit(), 0);
        DevsimTest::TearDown();
    }
};

// A 32-bit address of the device records as a pointer.
inline unsigned char* addressOf(uint32_t word) {
    return reinterpret_cast<unsigned char*>(static_cast<uintptr_t>(word));
}

// printf into a std::string, for expected lines that carry addresses.
inline __attribute__((format(printf, 1, 2))) std::string format(const char* pattern, ...) {
    char line[256];
    va_list arguments;
    va_start(arguments, pattern);
    vsnprintf(line, sizeof(line), pattern, arguments);
    va_end(arguments);
    return line;
}
