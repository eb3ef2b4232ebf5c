// The remote-control interface: the server object on the session bus at the name, object and
// interface of client/server_client.h, with versionString (returns s), the one-way quit, and
// purgeNow, which answers when a cycle that started after the call has ended (at once, or
// after the running one) with the items it deleted, those it could not, and why each of
// those stays (as, as, as: full paths and errno texts in the order of the paths, each in the
// escaped form of escapedText of base/log.h, since a D-Bus string must be valid UTF-8), and nextCycleDate, when the timer's next cycle runs (d: seconds since 1970
// on the wall clock, 0 while no timer runs), and Keep (as names, x dueWithin, x forSeconds;
// returns u: how many records now carry the keep-until date, TrashServer::keep; a dueWithin
// below 0 keeps by name only).
// Other calls get the bus's standard unknown-method error.
#pragma once

typedef struct sd_bus_slot sd_bus_slot;

namespace quillon {

class TrashServer;

class RemoteControl {
 public:
    explicit RemoteControl(TrashServer &server) : server_(server) {}
    ~RemoteControl() { invalidate(); }
    RemoteControl(const RemoteControl &) = delete;
    RemoteControl &operator=(const RemoteControl &) = delete;

    // Publishes the object and takes the name, without queueing for it. On failure (another
    // server holds the name, or there is no bus) logs
    // "registring name 'local.vantor.quillon.server' with NSConnection failed" and gives false.
    bool registerName();
    // Gives the name back and withdraws the object: no further call arrives. The bus
    // connection itself stays open.
    void invalidate();

 private:
    TrashServer &server_;
    sd_bus_slot *object_ = nullptr;
    bool named_ = false;
};

}  // namespace quillon
