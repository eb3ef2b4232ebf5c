#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "engine_test_support.h"
#include "secure_delete/engine.h"
#include "test_support.h"

namespace quillon::engine {
namespace {

using namespace quillon::testing;

TEST(Reporters, PrefixAndCutToNinetyNineCharacters) {
    ::testing::internal::CaptureStderr();
    report_error("unable to stat %s", "/x");
    report_error("%s", std::string(150, 'a').c_str());
    std::string out = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, ": unable to stat /x\n: " + std::string(99, 'a') + "\n");
}

TEST(Reporters, ErrnoLineCarriesTheFailingCallsError) {
    ::testing::internal::CaptureStderr();
    errno = ENOTEMPTY;
    report_errno("unable to remove %s", "/t/d");
    EXPECT_EQ(errno, ENOTEMPTY);
    errno = EPERM;
    report_errno("%s", std::string(150, 'b').c_str());
    std::string out = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, ": unable to remove /t/d: Directory not empty\n: " + std::string(99, 'b') +
                       ": Operation not permitted\n");
}

TEST(RandomSource, MissingOrNonDeviceFallsBackToSeededRand) {
    TempDir dir;
    quillon::testing::write_file(dir / "plain", "not a device");
    for (const std::string &device : {dir / "missing", dir / "plain"}) {
        srand(99);
        const int expected0 = static_cast<signed char>(rand() & 0xff);
        const int expected1 = static_cast<signed char>(rand() & 0xff);
        srand(12345);  // init_random must reseed with the seed it is given
        init_random_from(device.c_str(), 99);
        EXPECT_EQ(random_fd, -1);
        EXPECT_EQ(random_byte(), expected0);
        unsigned char buffer[1];
        random_fill(buffer, 1);
        EXPECT_EQ(static_cast<signed char>(buffer[0]), expected1);
    }
}

TEST(RandomSource, BytesAreSignExtendedAndAFailedReadStillYieldsAByte) {
    ScriptedRandom source(std::string("\xff\x41\x80", 3));
    EXPECT_EQ(random_byte(), -1);
    EXPECT_EQ(random_byte(), 0x41);
    EXPECT_EQ(random_byte(), -128);
    for (int i = 0; i < 50; i++) {  // the script is exhausted: reads fail
        int b = random_byte();
        EXPECT_GE(b, -128);
        EXPECT_LE(b, 127);
    }
}

TEST(RandomSource, FillReadsTheWholeLengthFromTheDevice) {
    ScriptedRandom source("0123456789");
    unsigned char buffer[10] = {};
    random_fill(buffer, 10);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), 10), "0123456789");
}

}  // namespace
}  // namespace quillon::engine
