#include <gtest/gtest.h>

#include "secure_delete/engine.h"
#include "secure_delete/secure_delete.h"
#include "test_support.h"

namespace quillon {
namespace {

using quillon::testing::TempDir;

TEST(SecureDelete, LevelSelectsTheScheme) {
    TempDir dir;
    const std::pair<int, int> cases[] = {{0, 1}, {1, 7}, {2, 0}, {3, 0}, {-1, 0}, {1000, 0}};
    for (auto [level, mode] : cases) {
        quillon::testing::write_file(dir / "f", "content");
        EXPECT_EQ(secure_delete((dir / "f").c_str(), level), 1);
        EXPECT_EQ(engine::overwrite_mode, mode) << "level " << level;
        EXPECT_EQ(engine::random_fd, -1);
        EXPECT_FALSE(quillon::testing::exists(dir / "f"));
    }
}

}  // namespace
}  // namespace quillon
