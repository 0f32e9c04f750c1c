// The pseudo-terminal the phone sits behind. The phone keeps its own descriptor of the
// device open so that the master never sees a hang-up between clients, and watches the
// device for opens and closes by clients.
#pragma once

#include <string>

namespace phonesim {

class PseudoTerminal
{
public:
    PseudoTerminal() = default;
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    bool open(std::string &error);

    int master() const { return master_; }
    int watch() const { return watch_; } // -1 when opens cannot be watched
    const std::string &devicePath() const { return path_; }

    struct ClientChanges
    {
        bool firstOpened = false; // a client opened the device while no one had it open
        bool lastClosed = false; // the last client closed it
    };
    // Reads the pending open and close notifications, in order.
    ClientChanges readClientChanges();
    int clients() const { return clients_; }
    // Whether a client has the line open (always, when opens cannot be watched).
    bool clientPresent() const { return watch_ < 0 || clients_ > 0; }

    // Drops what was sent but never read by a client that has gone.
    void discardUnread();
    // The speed a client set on its end of the line; 0 when it is not a common rate.
    unsigned clientBaud() const;

private:
    int master_ = -1;
    int slave_ = -1;
    int watch_ = -1;
    int clients_ = 0;
    std::string path_;
};

} // namespace phonesim
