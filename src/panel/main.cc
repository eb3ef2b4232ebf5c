// quillon-panel: the settings window of Quillon.
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <glib-unix.h>
#include <gtkmm.h>

#include <climits>
#include <csignal>
#include <clocale>
#include <string>
#include <vector>

#include "base/localization.h"
#include "bus/session_bus.h"
#include "fs/blocking_work.h"
#include "panel/panel_window.h"

int main(int argc, char **argv) {
    setlocale(LC_ALL, "");
    // Run from the build tree, it speaks with the catalogues built beside it.
    quillon::useBuildTreeCatalogues(QUILLON_BUILD_DIR, QUILLON_BUILD_LOCALE_DIR);
    // "--show due" or "--show history", as the server's notices start the panel: "due" lists
    // what is due within a day (what the warning before a large purge named) instead of the
    // next cycle's items; "history" opens its deletion history too. The option is taken off
    // before GTK reads the rest.
    std::vector<char *> args(argv, argv + argc);
    bool showHistory = false, dueWithinADay = false;
    if (args.size() >= 3 && std::string(args[1]) == "--show") {
        showHistory = std::string(args[2]) == "history";
        dueWithinADay = std::string(args[2]) == "due";
        args.erase(args.begin() + 1, args.begin() + 3);
    }
    auto app = Gtk::Application::create("local.vantor.quillon.panel");
    // The settings and the server talk on our own session bus connection: process it from
    // GLib's loop when it has input, and now and then for what a call read ahead.
    if (sd_bus *bus = quillon::SessionBus::shared()) {
        auto process = [bus] {
            while (sd_bus_process(bus, nullptr) > 0) {
            }
            return true;
        };
        Glib::signal_io().connect([process](Glib::IOCondition) { return process(); }, sd_bus_get_fd(bus),
                                  Glib::IOCondition::IO_IN | Glib::IOCondition::IO_HUP);
        Glib::signal_timeout().connect(process, 250);
    }
    // Ended with the session (SIGTERM, SIGINT, SIGHUP): close as if the window were closed.
    for (int signo : {SIGTERM, SIGINT, SIGHUP})
        g_unix_signal_add(
            signo,
            [](gpointer application) {
                static_cast<Gtk::Application *>(application)->quit();
                return G_SOURCE_REMOVE;
            },
            app.get());
    const int status = app->make_window_and_run<quillon::PanelWindow>(static_cast<int>(args.size()), args.data(), showHistory,
                                                                      dueWithinADay);
    // A look into a volume that stopped answering still blocks its thread: end without the
    // static destructors that thread may yet use.
    if (quillon::abandonedWorkRuns()) _exit(status);
    return status;
}
