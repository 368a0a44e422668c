#ifndef VASKSUPPORT_SCREEN_XCLIENT_P_H
#define VASKSUPPORT_SCREEN_XCLIENT_P_H

// Just enough of an X11 client for the screen query, speaking the protocol
// on its own socket so that every wait ends at one deadline. libxcb can't be
// bounded that way: its connection setup and its reading of a reply that has
// only partly arrived both poll without a timeout, it prints a refusing
// server's reason on descriptor 2, and it writes without MSG_NOSIGNAL. Its
// headers still describe the wire structures used here.

#include "xsocket_p.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vask {
namespace screen {

// What DISPLAY names: [protocol/][host]:display[.screen]; an empty host
// (also for "unix" as host or protocol) means this machine's local socket.
// An X resource (output, CRTC) and a request awaiting its reply, as types of
// this library's own: containers of plain integers would be instantiated with
// default visibility and so exported from the shared library.
struct XId {
    uint32_t value;
};
struct Pending {
    uint16_t sequence;
};

struct DisplayName {
    std::string host;
    int display = 0;
    int screen = 0;
};
bool parseDisplay(const std::string &name, DisplayName &out);

class XClient
{
public:
    // Connects to the display DISPLAY names and completes the handshake; see ok().
    explicit XClient(const Deadline &deadline);
    ~XClient();
    XClient(const XClient &) = delete;
    XClient &operator=(const XClient &) = delete;

    bool ok() const { return mFd >= 0; }
    // The screen DISPLAY names: its root window and core size.
    uint32_t root() const { return mRoot; }
    int width() const { return mWidth; }
    int height() const { return mHeight; }

    // Queues a request: its fixed part (a wire structure whose length field
    // is filled in here) and what follows it.
    template <typename Request> Pending request(Request fixed, const std::string &tail = std::string())
    {
        fixed.length = uint16_t((sizeof fixed + tail.size() + 3) / 4);
        return queue(&fixed, sizeof fixed, tail);
    }
    // Sends what is queued; false once the connection has failed.
    bool flush();
    // The whole reply to one request, or empty for an error, a lost
    // connection or the deadline. Replies must be asked for in the order the
    // requests were made.
    std::string reply(Pending request);

private:
    Pending queue(const void *fixed, size_t size, const std::string &tail);
    bool fill();
    void fail();

    const Deadline &mDeadline;
    int mFd = -1;
    uint16_t mSequence = 0;
    std::string mOut;
    std::string mIn;
    uint32_t mRoot = 0;
    int mWidth = 0;
    int mHeight = 0;
};

// Reads a wire structure (or an array of them) at `offset` in a reply, each
// checked against the reply's length since the counts come from the server.
template <typename T> bool readAt(const std::string &bytes, size_t offset, T &out)
{
    if (offset > bytes.size() || bytes.size() - offset < sizeof out)
        return false;
    std::memcpy(&out, bytes.data() + offset, sizeof out);
    return true;
}

template <typename T> bool readArrayAt(const std::string &bytes, size_t offset, size_t count, std::vector<T> &out)
{
    if (offset > bytes.size() || count > (bytes.size() - offset) / sizeof(T))
        return false;
    out.resize(count);
    if (count)
        std::memcpy(out.data(), bytes.data() + offset, count * sizeof(T));
    return true;
}

} // namespace screen
} // namespace vask

#endif // VASKSUPPORT_SCREEN_XCLIENT_P_H
