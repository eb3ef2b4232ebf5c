// The engine's overwrite passes, byte for byte, its levels, its random source and its messages.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "secure_delete/engine.h"
#include "secure_delete/secure_delete.h"
#include "engine_test_support.h"
#include "test_support.h"

namespace quillon::engine {
namespace {

using namespace quillon::testing;

// One pass over `length` bytes written in blocks: every write starts at the block's index 0.
std::string pass_image(const std::string &block, size_t length) {
    std::string out;
    while (out.size() < length) out += block.substr(0, std::min(block.size(), length - out.size()));
    return out;
}
std::string fill(unsigned char value, size_t n) { return std::string(n, static_cast<char>(value)); }
std::string triple(unsigned char a, unsigned char b, unsigned char c, size_t block, size_t n) {
    std::string pattern;
    for (size_t i = 0; i < block; i++) pattern += static_cast<char>(i % 3 == 0 ? a : i % 3 == 1 ? b : c);
    return pass_image(pattern, n);
}

// The 35 passes over `n` bytes in blocks of 4, random passes drawing "aaaa", "bbbb", ...
std::string thirty_five(size_t n) {
    std::string out;
    char next = 'a';
    auto random = [&](int count) {
        for (int i = 0; i < count; i++, next++) out += std::string(n, next);
    };
    random(4);
    out += fill(0x55, n) + fill(0xAA, n);
    out += triple(0x92, 0x49, 0x24, 4, n) + triple(0x49, 0x24, 0x92, 4, n) + triple(0x24, 0x92, 0x49, 4, n);
    for (int b = 0x00; b <= 0xFF; b += 0x11) out += fill(static_cast<unsigned char>(b), n);
    out += triple(0x92, 0x49, 0x24, 4, n) + triple(0x49, 0x24, 0x92, 4, n) + triple(0x24, 0x92, 0x49, 4, n);
    out += triple(0x6D, 0xB6, 0xDB, 4, n) + triple(0xB6, 0xDB, 0x6D, 4, n) + triple(0xDB, 0x6D, 0xB6, 4, n);
    random(4);
    return out;
}

class Overwrite : public ::testing::Test {
 protected:
    void TearDown() override {
        options = 0;
        fork_fd = -1;
        pass_buffer = nullptr;
    }
    // overwrite_fork in `mode` over `length` bytes aimed at `fd` (a pipe when -1, whose bytes
    // are returned), `block`-byte writes, random passes drawing from `random`.
    std::string passes(int mode, off_t length, uint32_t block, const std::string &random, uint32_t extra = 0,
                       int fd = -1) {
        std::vector<unsigned char> buffer(block);
        ScriptedRandom source(random);
        PipeSink sink;
        options = OPT_FORCE | OPT_RECURSIVE | extra;
        overwrite_mode = mode;
        fork_fd = fd < 0 ? sink.fd() : fd;
        fork_length = length;
        pass_buffer = buffer.data();
        pass_buffer_size = block;
        EXPECT_EQ(overwrite_fork(), 0);
        return sink.finish();
    }
};

TEST_F(Overwrite, EverySchemeWritesItsPassesInOrder) {
    std::string random35;
    for (char c = 'a'; c < 'a' + 8; c++) random35 += std::string(4, c);
    const struct { const char *name; int mode; off_t length; std::string random; uint32_t extra; std::string expected; } cases[] = {
        {"one pass: blocks and a tail", 1, 10, "RAND", 0, "RANDRANDRA"},
        {"seven passes", 7, 6, "abcdWXYZ", 0,
         fill(0xF6, 6) + fill(0x00, 6) + fill(0xFF, 6) + "abcdab" + fill(0x00, 6) + fill(0xFF, 6) + "WXYZWX"},
        {"35 passes, triples restarting at every block, and a zero pass", 0, 7, random35, OPT_ZERO_LAST, thirty_five(7) + fill(0, 7)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = passes(c.mode, c.length, 4, c.random, c.extra);
        ASSERT_EQ(out.size(), c.expected.size());
        for (size_t at = 0; at < out.size(); at += std::max<size_t>(1, c.length))
            EXPECT_EQ(out.substr(at, c.length), c.expected.substr(at, c.length)) << "pass " << at / c.length + 1;
        EXPECT_EQ(planned_bytes, static_cast<int64_t>(c.expected.size()));
    }
    ::testing::internal::CaptureStdout();
    passes(1, 10, 4, "RAND", OPT_VERBOSE);
    passes(1, 0, 4, "RAND", OPT_VERBOSE);  // no percentage for an empty fork
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "\r40%\r80%\r100%\rdone\n");
}

TEST_F(Overwrite, AFileKeepsItsLengthAndAFailedWriteKeepsItWhole) {
    TempDir dir;
    write_file(dir / "f", std::string(10, 'x'));
    const int fd = open((dir / "f").c_str(), O_WRONLY | O_CLOEXEC);
    passes(7, 10, 4, "1234abcd", 0, fd);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);  // rewound after the last pass
    close(fd);
    EXPECT_EQ(read_file(dir / "f"), "abcdabcdab");

    // A write failing part-way must not let the file be unlinked as if its data were gone.
    const std::string original(64 * 1024, 'D');
    write_file(dir / "big", original);
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
    const int result = secure_remove_file((dir / "big").c_str());
    const int error = errno;
    close_random();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(error, EFBIG);
    const std::string left = read_file(dir / "big");
    ASSERT_EQ(left.size(), original.size());
    EXPECT_EQ(left.substr(32 * 1024), original.substr(32 * 1024));
}

TEST(SecureDelete, TheLevelSelectsTheSchemeAndEveryCallEndsClean) {
    TempDir dir;
    for (auto [level, mode] : std::vector<std::pair<int, int>>{{0, 1}, {1, 7}, {2, 0}}) {
        write_file(dir / "f", "content");
        const int held = open((dir / "f").c_str(), O_RDONLY | O_CLOEXEC);  // sees the inode after its unlink
        EXPECT_EQ(quillon::secure_delete((dir / "f").c_str(), level), 1);
        EXPECT_EQ(overwrite_mode, mode) << "level " << level;
        struct stat st {};
        EXPECT_EQ(fstat(held, &st), 0);
        EXPECT_EQ(st.st_size, 0) << "the file was not cut to nothing before its name went";
        close(held);
        EXPECT_EQ(random_fd, -1);
        EXPECT_EQ(options, OPT_FORCE | OPT_RECURSIVE);
        EXPECT_FALSE(exists(dir / "f"));
    }
}

TEST(RandomSource, DeviceBytesAreSignExtendedAndWithoutADeviceSeededRandIsUsed) {
    {
        ScriptedRandom source(std::string("\xff\x41\x80", 3) + "0123456789");
        EXPECT_EQ(random_byte(), -1);
        EXPECT_EQ(random_byte(), 0x41);
        EXPECT_EQ(random_byte(), -128);
        unsigned char buffer[10] = {};
        random_fill(buffer, 10);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), 10), "0123456789");
        const int exhausted = random_byte();  // a failed read still yields a byte
        EXPECT_TRUE(exhausted >= -128 && exhausted <= 127);
    }
    TempDir dir;
    write_file(dir / "plain", "not a device");
    for (const std::string &device : {dir / "missing", dir / "plain"}) {
        srand(99);
        const int first = static_cast<signed char>(rand() & 0xff), second = static_cast<signed char>(rand() & 0xff);
        srand(12345);  // init_random must reseed with the seed it is given
        init_random_from(device.c_str(), 99);
        EXPECT_EQ(random_fd, -1);
        EXPECT_EQ(random_byte(), first);
        unsigned char buffer[1];
        random_fill(buffer, 1);
        EXPECT_EQ(static_cast<signed char>(buffer[0]), second);
    }
}

TEST(Reporters, LinesArePrefixedCutToNinetyNineAndKeepErrno) {
    ::testing::internal::CaptureStderr();
    report_error("unable to stat %s", "/x");
    errno = ENOTEMPTY;
    report_errno("unable to remove %s", "/t/d");
    EXPECT_EQ(errno, ENOTEMPTY);
    errno = EPERM;
    report_errno("%s", std::string(150, 'b').c_str());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              ": unable to stat /x\n: unable to remove /t/d: Directory not empty\n: " + std::string(99, 'b') +
                  ": Operation not permitted\n");
}

}  // namespace
}  // namespace quillon::engine
