#include "xclient_p.h"

#include "xauthority_p.h"

#include <xcb/xproto.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace vask {
namespace screen {

namespace {

// The largest packet believed: far above any answer the query asks for, far
// below what a broken length field could claim.
constexpr size_t kLargestPacket = size_t(4) << 20;

// The first byte of the setup answer when the server accepts the client.
constexpr char kAccepted = 1;

// The first byte of a packet from the server.
constexpr uint8_t kError = 0;
constexpr uint8_t kReply = 1;

size_t padded(size_t size)
{
    return (size + 3) & ~size_t(3);
}

bool allDigits(const std::string &s)
{
    return !s.empty() && s.size() <= 5 && s.find_first_not_of("0123456789") == std::string::npos;
}

// After a failed send or recv: whether to try again, because it was
// interrupted, or would have blocked and the socket is ready before the deadline.
bool retry(int fd, short events, const Deadline &deadline)
{
    return errno == EINTR || ((errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(fd, events, deadline));
}

// Screen `number` of a setup answer, every count checked against its length.
bool findScreen(const std::string &setup, int number, xcb_screen_t &screen)
{
    xcb_setup_t head;
    if (!readAt(setup, 0, head) || number < 0)
        return false;
    size_t at = sizeof head + padded(head.vendor_len) + size_t(head.pixmap_formats_len) * sizeof(xcb_format_t);
    for (int i = 0; i < head.roots_len; ++i) {
        if (!readAt(setup, at, screen))
            return false;
        if (i == number)
            return true;
        at += sizeof screen;
        for (int d = 0; d < screen.allowed_depths_len; ++d) {
            xcb_depth_t depth;
            if (!readAt(setup, at, depth))
                return false;
            at += sizeof depth + size_t(depth.visuals_len) * sizeof(xcb_visualtype_t);
        }
    }
    return false;
}

} // namespace

bool parseDisplay(const std::string &name, DisplayName &out)
{
    const size_t slash = name.rfind('/');
    const std::string protocol = slash == std::string::npos ? std::string() : name.substr(0, slash);
    const std::string rest = slash == std::string::npos ? name : name.substr(slash + 1);
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos)
        return false;
    std::string host = rest.substr(0, colon);
    if (!host.empty() && host.back() == ':') // DECnet, "host::0"
        return false;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host == "unix" || protocol == "unix")
        host.clear();
    const std::string numbers = rest.substr(colon + 1);
    const size_t dot = numbers.find('.');
    const std::string display = numbers.substr(0, dot);
    const std::string screen = dot == std::string::npos ? "0" : numbers.substr(dot + 1);
    if (!allDigits(display) || !allDigits(screen))
        return false;
    out = {host, std::atoi(display.c_str()), std::atoi(screen.c_str())};
    return true;
}

XClient::XClient(const Deadline &deadline) : mDeadline(deadline)
{
    const char *named = std::getenv("DISPLAY");
    DisplayName name;
    if (!named || !parseDisplay(named, name))
        return;
    XPeer peer;
    mFd = connectToDisplay(name.host, name.display, deadline, peer);
    if (mFd < 0)
        return;
    const XAuthCookie cookie = findCookie(readXauthority(), peer.family, peer.address, peer.display);

    // The server answers in the byte order the client names: this machine's.
    const uint16_t probe = 1;
    xcb_setup_request_t hello {};
    hello.byte_order = *reinterpret_cast<const uint8_t *>(&probe) == 1 ? 'l' : 'B';
    hello.protocol_major_version = X_PROTOCOL;
    hello.protocol_minor_version = X_PROTOCOL_REVISION;
    hello.authorization_protocol_name_len = uint16_t(cookie.name.size());
    hello.authorization_protocol_data_len = uint16_t(cookie.data.size());
    mOut.assign(reinterpret_cast<const char *>(&hello), sizeof hello);
    mOut += cookie.name;
    mOut.resize(padded(mOut.size()), '\0');
    mOut += cookie.data;
    mOut.resize(padded(mOut.size()), '\0');
    if (!flush())
        return;

    // 8 bytes, the last two counting the 4-byte units that follow. Status 1
    // is success; 0 (failed) and 2 (authenticate) carry a reason meant for a
    // person, which a query keeps to itself.
    while (ok() && mIn.size() < 8)
        fill();
    uint16_t units = 0;
    if (!readAt(mIn, 6, units)) {
        fail();
        return;
    }
    const size_t size = 8 + size_t(units) * 4;
    while (ok() && mIn.size() < size)
        fill();
    xcb_screen_t screen;
    if (!ok() || mIn[0] != kAccepted || !findScreen(mIn.substr(0, size), name.screen, screen)) {
        fail();
        return;
    }
    mIn.erase(0, size);
    mRoot = screen.root;
    mWidth = screen.width_in_pixels;
    mHeight = screen.height_in_pixels;
}

XClient::~XClient()
{
    fail();
}

void XClient::fail()
{
    if (mFd >= 0)
        close(mFd);
    mFd = -1;
}

Pending XClient::queue(const void *fixed, size_t size, const std::string &tail)
{
    mOut.append(static_cast<const char *>(fixed), size);
    mOut += tail;
    mOut.resize(padded(mOut.size()), '\0');
    return {++mSequence};
}

bool XClient::flush()
{
    size_t done = 0;
    while (ok() && done < mOut.size()) {
        // MSG_NOSIGNAL: a server that has gone gives EPIPE, not a signal
        // that would end the host.
        const ssize_t n = send(mFd, mOut.data() + done, mOut.size() - done, MSG_NOSIGNAL);
        if (n > 0)
            done += size_t(n);
        else if (!(n < 0 && retry(mFd, POLLOUT, mDeadline)))
            fail();
    }
    mOut.clear();
    return ok();
}

bool XClient::fill()
{
    char chunk[4096];
    while (ok()) {
        const ssize_t n = recv(mFd, chunk, sizeof chunk, 0);
        if (n > 0) {
            mIn.append(chunk, size_t(n));
            return true;
        }
        if (!(n < 0 && retry(mFd, POLLIN, mDeadline)))
            fail();
    }
    return false;
}

std::string XClient::reply(Pending request)
{
    const uint16_t sequence = request.sequence;
    while (ok()) {
        xcb_generic_reply_t head;
        if (!readAt(mIn, 0, head)) {
            fill();
            continue;
        }
        // Replies and generic events say how long they are; everything else
        // is 32 bytes.
        const uint8_t type = head.response_type & 0x7f;
        const bool sized = type == kReply || type == XCB_GE_GENERIC;
        const size_t size = 32 + (sized ? size_t(head.length) * 4 : 0);
        if (size > kLargestPacket) {
            fail();
            break;
        }
        if (mIn.size() < size) {
            fill();
            continue;
        }
        std::string packet = mIn.substr(0, size);
        mIn.erase(0, size);
        const bool answer = head.response_type == kReply || head.response_type == kError;
        if (answer && head.sequence == sequence)
            return head.response_type == kReply ? packet : std::string();
        // An answer to a later request means this one has none coming.
        if (answer && int16_t(uint16_t(head.sequence - sequence)) > 0)
            break;
        // Events are not asked for, and answers to earlier requests were given up on.
    }
    return {};
}

} // namespace screen
} // namespace vask
