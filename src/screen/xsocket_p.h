#ifndef VASKSUPPORT_SCREEN_XSOCKET_P_H
#define VASKSUPPORT_SCREEN_XSOCKET_P_H

// The socket to an X server: opened without blocking, waited on only until
// one deadline, and never given the number of a standard stream (0-2).

#include <chrono>
#include <cstdint>
#include <string>

namespace vask {
namespace screen {

class Deadline
{
public:
    explicit Deadline(std::chrono::milliseconds budget) : mEnd(std::chrono::steady_clock::now() + budget) { }
    // What is left in whole milliseconds, rounded up; 0 once passed.
    int remainingMs() const;

private:
    std::chrono::steady_clock::time_point mEnd;
};

// Waits until fd reports one of events, an error or a hang-up; false when the
// deadline passes first.
bool waitFor(int fd, short events, const Deadline &deadline);

// The connection as Xauthority entries name it: the host, this machine
// (FamilyLocal and its host name) for a local socket or a loopback address,
// else the address the socket reached; and the display number in decimal.
struct XPeer {
    uint16_t family = 0;
    std::string address;
    std::string display;
};

// A connected, non-blocking, close-on-exec socket to display number `display`
// of `host`: for an empty host the local socket (abstract name first, then
// the file under /tmp/.X11-unix), otherwise TCP port 6000 + display. -1 on
// failure.
int connectToDisplay(const std::string &host, int display, const Deadline &deadline, XPeer &peer);

} // namespace screen
} // namespace vask

#endif // VASKSUPPORT_SCREEN_XSOCKET_P_H
