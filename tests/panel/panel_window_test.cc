// The panel's real window under Xvfb on a private bus beside the real server, driven from the
// keyboard as a user would: the switch clicked is what the settings file holds and what the
// server hears. Leaves a screenshot (QUILLON_SCREENSHOT_DIR, else the working folder).
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "private_bus.h"
#include "process_runner.h"
#include "test_support.h"

namespace quillon {
namespace {

using namespace std::chrono_literals;
using namespace quillon::testing;

// What a command printed, run with this process's environment.
std::string output(const std::string &command) {
    std::string out;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (fgets(buffer, sizeof buffer, pipe)) out += buffer;
        pclose(pipe);
    }
    return out;
}

class PanelWindowTest : public ::testing::TestWithParam<const char *> {};

TEST_P(PanelWindowTest, AKeyboardChoiceReachesTheSettingsAndTheServer) {
    for (const char *tool : {"/usr/bin/Xvfb", "/usr/bin/xdotool", "/usr/bin/import"})
        if (!exists(tool)) GTEST_SKIP() << tool << " is not installed";
    // Xvfb picks a free display itself and says which on its standard output (the log): tests
    // that run side by side never race for one.
    TempDir home;
    // -noreset: a server resets when its last client leaves, and a client that connects
    // meanwhile (the panel, after xdotool's check) is refused.
    ChildProcess xvfb({"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "640x760x24", "-nolisten", "tcp", "-noreset"}, {},
                      home / "xvfb.log");
    std::string screen;
    ASSERT_TRUE(eventually(
        [&] {
            const std::string log = read_file(home / "xvfb.log");
            for (size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1)
                if (end > at && log.find_first_not_of("0123456789", at) == end) screen = ":" + log.substr(at, end - at);
            return !screen.empty();
        },
        60s))
        << read_file(home / "xvfb.log");
    setenv("DISPLAY", screen.c_str(), 1);
    // Stopped, not killed, at the end: it takes its lock file, its socket and its keymap
    // compiler with it, so that the next server to choose this display finds it free.
    struct Stop {
        ChildProcess &xvfb;
        ~Stop() {
            xvfb.signal(SIGTERM);
            (void)xvfb.wait(60s);
        }
    } stop{xvfb};
    ASSERT_TRUE(eventually([] { return system("xdotool getdisplaygeometry >/dev/null 2>&1") == 0; }, 60s))
        << read_file(home / "xvfb.log");

    make_home_trash(home);
    // A few items due, so that the screenshot shows the preview's list (the server's first
    // cycle is an hour away: they stay).
    const std::string files = home / ".local/share/Trash/files";
    make_tree(files, {"Holiday photos/", "Holiday photos/beach.jpg=" + std::string(300000, 'x'),
                      "report-draft.odt=" + std::string(48000, 'x'), "notes.txt=shopping list"});
    write_file(home / ".config/local.vantor.quillon.list.plist",
               trash_list_xml(files, {{"Holiday photos", "2020-01-01T00:00:00Z"}, {"report-draft.odt", "2020-01-01T00:00:00Z"},
                                      {"notes.txt", "2020-01-01T00:00:00Z"}}));
    PrivateBus bus;
    ASSERT_TRUE(bus.ok());
    NotificationListener listener(bus.address());
    auto environment = session_environment(home.path(), bus.address());
    ChildProcess server({QUILLON_TEST_SERVER, "3600"}, environment, home / "server.log");
    ASSERT_EQ(listener.waitFor(1, 60s), std::vector<std::string>{"server launched"});

    const std::string language = GetParam();
    environment.insert({{"DISPLAY", screen}, {"GSK_RENDERER", "cairo"}, {"GDK_BACKEND", "x11"}, {"GTK_A11Y", "none"},
                        {"LANGUAGE", language}, {"LC_ALL", language.empty() ? "C" : "C.UTF-8"},
                        // GTK and fontconfig keep their caches to the end by design: not ours to report.
                        {"ASAN_OPTIONS", "detect_leaks=0:abort_on_error=1"}});
    ChildProcess panel({QUILLON_PANEL}, environment, home / "panel.log");
    std::string window;
    ASSERT_TRUE(eventually([&] { return !(window = output("xdotool search --onlyvisible --name '^Quillon$' 2>/dev/null")).empty(); }, 120s))
        << read_file(home / "panel.log");
    window = window.substr(0, window.find('\n'));
    ASSERT_EQ(system(("xdotool windowfocus --sync " + window + " key --clearmodifiers alt+s").c_str()), 0);
    const std::string domain = home / ".config/local.vantor.quillon.plist";
    EXPECT_TRUE(eventually([&] { return read_file(domain).find("<key>secure</key>\n\t<true/>") != std::string::npos; }, 60s))
        << read_file(home / "panel.log");
    EXPECT_EQ(listener.waitFor(2, 60s), (std::vector<std::string>{"server launched", "preferences changed"}));

    const char *folder = getenv("QUILLON_SCREENSHOT_DIR");
    const std::string shot = std::string(folder ? folder : ".") + "/panel-" + (language.empty() ? "en" : language) + ".png";
    ASSERT_EQ(system(("import -window " + window + " " + shot).c_str()), 0);
    EXPECT_TRUE(exists(shot));
    panel.signal(SIGTERM);
    EXPECT_EQ(panel.wait(60s), 0);  // closed as the session's end closes it
    unsetenv("DISPLAY");
}

INSTANTIATE_TEST_SUITE_P(Languages, PanelWindowTest, ::testing::Values("", "de"),
                         [](const ::testing::TestParamInfo<const char *> &p) { return *p.param ? "de" : "en"; });

}  // namespace
}  // namespace quillon
