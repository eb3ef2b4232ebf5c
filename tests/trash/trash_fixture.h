// A temporary home with a FreeDesktop trash, the test environment installed, and log capture.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/log.h"
#include "trash/trash_file.h"
#include "test_environment.h"
#include "test_support.h"

namespace quillon::testing {

class TrashFixture : public ::testing::Test {
 protected:
    TempDir home;
    TestEnvironment environment{home.path()};
    std::string trashRoot = home / ".local/share/Trash";
    std::string files = make_home_trash(home);
    CapturedLog capturedLog;
    std::vector<std::string> &logged = capturedLog.lines;

    // Puts an item into the trash as a file manager would: the item and its info file.
    void trashItem(const std::string &name, const std::string &contents = "data") {
        write_file(files + "/" + name, contents);
        write_file(trashRoot + "/info/" + name + ".trashinfo", "[Trash Info]\nPath=/home/u/" + name + "\n");
    }
};

}  // namespace quillon::testing
