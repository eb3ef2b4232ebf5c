#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "engine_test_support.h"
#include "secure_delete/engine.h"
#include "test_support.h"

namespace quillon::engine {
namespace {

using namespace quillon::testing;

// What one pass leaves over a fork of `length` bytes with blocks of `block` bytes: every
// write starts at index 0 of the block-sized buffer.
std::string pass_image(const std::string &block, size_t length) {
    std::string out;
    while (out.size() < length) out += block.substr(0, std::min(block.size(), length - out.size()));
    return out;
}
std::string fill(unsigned char value, size_t n) { return std::string(n, static_cast<char>(value)); }
std::string triple(unsigned char a, unsigned char b, unsigned char c, size_t n) {
    std::string out;
    const char pattern[3] = {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)};
    for (size_t i = 0; i < n; i++) out += pattern[i % 3];
    return out;
}

class OverwriteTest : public ::testing::Test {
 protected:
    void TearDown() override {
        options = 0;
        fork_fd = -1;
        pass_buffer = nullptr;
    }

    // Runs overwrite_fork in `mode` over a fork of `length` bytes with `block`-byte writes,
    // aimed at a pipe, so every pass shows up in order. Random passes draw `random` bytes.
    std::string run_passes(int mode, off_t length, uint32_t block, const std::string &random,
                           uint32_t extra_options = 0) {
        std::vector<unsigned char> buffer(block);
        ScriptedRandom source(random);
        PipeSink sink;
        options = OPT_FORCE | OPT_RECURSIVE | extra_options;
        overwrite_mode = mode;
        fork_fd = sink.fd();
        fork_length = length;
        pass_buffer = buffer.data();
        pass_buffer_size = block;
        EXPECT_EQ(overwrite_fork(), 0);
        return sink.finish();
    }
};

TEST_F(OverwriteTest, SevenPassSchemeInOrder) {
    std::string out = run_passes(7, 6, 4, "abcdWXYZ");
    EXPECT_EQ(out, fill(0xF6, 6) + fill(0x00, 6) + fill(0xFF, 6) + "abcdab" + fill(0x00, 6) +
                       fill(0xFF, 6) + "WXYZWX");
    EXPECT_EQ(planned_bytes, 7 * 6);
}

TEST_F(OverwriteTest, ThirtyFivePassSchemeInFixedOrderAndZeroLast) {
    std::string random;
    for (char c = 'a'; c < 'a' + 8; c++) random += std::string(3, c);  // 8 random passes
    const size_t n = 7;
    std::string out = run_passes(0, n, 3, random, OPT_ZERO_LAST);
    ASSERT_EQ(out.size(), 36 * n);
    std::vector<std::string> expected;
    for (char c = 'a'; c < 'a' + 4; c++) expected.push_back(std::string(n, c));
    for (unsigned char b : {0x55, 0xAA}) expected.push_back(fill(b, n));
    expected.push_back(triple(0x92, 0x49, 0x24, n));
    expected.push_back(triple(0x49, 0x24, 0x92, n));
    expected.push_back(triple(0x24, 0x92, 0x49, n));
    for (unsigned char b : {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB,
                            0xCC, 0xDD, 0xEE, 0xFF})
        expected.push_back(fill(b, n));
    expected.push_back(triple(0x92, 0x49, 0x24, n));
    expected.push_back(triple(0x49, 0x24, 0x92, n));
    expected.push_back(triple(0x24, 0x92, 0x49, n));
    expected.push_back(triple(0x6D, 0xB6, 0xDB, n));
    expected.push_back(triple(0xB6, 0xDB, 0x6D, n));
    expected.push_back(triple(0xDB, 0x6D, 0xB6, n));
    for (char c = 'e'; c < 'e' + 4; c++) expected.push_back(std::string(n, c));
    expected.push_back(fill(0x00, n));  // OPT_ZERO_LAST
    for (size_t pass = 0; pass < expected.size(); pass++)
        EXPECT_EQ(out.substr(pass * n, n), expected[pass]) << "pass " << pass + 1;
    EXPECT_EQ(planned_bytes, 36 * static_cast<int64_t>(n));
}

TEST_F(OverwriteTest, TriplePhaseRestartsAtEveryBlock) {
    // Any mode other than 1 and 7 runs pass 7 as the triple 92 49 24; 4-byte blocks.
    std::string random(8 * 4, 'r');
    std::string out = run_passes(35, 10, 4, random);
    const std::string block = triple(0x92, 0x49, 0x24, 4);  // 92 49 24 92
    EXPECT_EQ(out.substr(6 * 10, 10), pass_image(block, 10));
    EXPECT_EQ(out.substr(6 * 10 + 4, 1), "\x92");  // offset 4 starts with the first value again
}

TEST_F(OverwriteTest, BlockArithmeticOfTheOnePassScheme) {
    EXPECT_EQ(run_passes(1, 10, 4, "RAND"), "RANDRANDRA");  // two whole blocks, then half a block
    EXPECT_EQ(planned_bytes, 10);
    EXPECT_EQ(run_passes(1, 8, 4, "WXYZ"), "WXYZWXYZ");  // exact multiple: no empty tail
    EXPECT_EQ(run_passes(1, 3, 4, "WXYZ"), "WXY");       // shorter than a block
    EXPECT_EQ(run_passes(1, 0, 4, "WXYZ"), "");          // empty fork: nothing written
}

TEST_F(OverwriteTest, FileKeepsItsLengthAndHoldsTheLastPass) {
    TempDir dir;
    const std::string path = dir / "f";
    quillon::testing::write_file(path, std::string(10, 'x'));
    std::vector<unsigned char> buffer(4);
    ScriptedRandom source("1234abcd");
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    options = OPT_FORCE | OPT_RECURSIVE;
    overwrite_mode = 7;
    fork_fd = fd;
    fork_length = 10;
    pass_buffer = buffer.data();
    pass_buffer_size = 4;
    EXPECT_EQ(overwrite_fork(), 0);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);  // rewound after the last pass
    close(fd);
    EXPECT_EQ(quillon::testing::read_file(path), "abcdabcdab");
}

TEST_F(OverwriteTest, VerboseProgressEndsWithOneHundredAndDone) {
    ::testing::internal::CaptureStdout();
    run_passes(1, 10, 4, "RAND", OPT_VERBOSE);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "\r40%\r80%\r100%\rdone\n");

    ::testing::internal::CaptureStdout();
    run_passes(1, 0, 4, "RAND", OPT_VERBOSE);  // no percentage for an empty fork
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

// A write that fails part-way must not let the file be truncated and unlinked as if its data
// were gone: the file keeps its name, and the untouched rest of its data is still there.
TEST_F(OverwriteTest, FailedWriteKeepsTheFileAndReportsTheError) {
    TempDir dir;
    const std::string path = dir / "big";
    const std::string original(64 * 1024, 'D');
    quillon::testing::write_file(path, original);

    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 8 * 1024;  // writes past 8 KiB fail with EFBIG
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    init_random(1);
    options = OPT_FORCE | OPT_RECURSIVE;
    overwrite_mode = 1;
    errno = 0;
    int result = secure_remove_file(path.c_str());
    int error = errno;
    close_random();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);

    EXPECT_EQ(result, -1);
    EXPECT_EQ(error, EFBIG);
    std::string left = quillon::testing::read_file(path);
    ASSERT_EQ(left.size(), original.size());
    EXPECT_EQ(left.substr(32 * 1024), original.substr(32 * 1024));
    EXPECT_EQ(quillon::testing::list_dir(dir.path()), std::vector<std::string>{"big"});
}

}  // namespace
}  // namespace quillon::engine
