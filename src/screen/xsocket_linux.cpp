#include "xsocket_p.h"

#include "xauthority_p.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace vask {
namespace screen {

int Deadline::remainingMs() const
{
    using namespace std::chrono;
    const auto left = mEnd - steady_clock::now();
    return left <= steady_clock::duration::zero() ? 0 : int(ceil<milliseconds>(left).count());
}

bool waitFor(int fd, short events, const Deadline &deadline)
{
    for (;;) {
        const int ms = deadline.remainingMs();
        if (ms <= 0)
            return false;
        pollfd p {fd, events, 0};
        const int n = poll(&p, 1, ms);
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

namespace {

// A host with a closed standard stream would have a new socket take its
// number, and another thread's writes to "stderr" would then reach the X
// server. While alive, the free numbers among 0-2 hold unconnected local
// sockets, on which such a write fails as on a closed descriptor (ENOTCONN,
// no signal); the host's own streams are not touched. They are held for one
// socket() call only.
class StdNumbersHeld
{
public:
    StdNumbersHeld()
    {
        while (mCount < 3 && anyStdNumberFree()) {
            const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0)
                break;
            if (fd > 2) {
                close(fd);
                break;
            }
            mHeld[mCount++] = fd;
        }
    }
    ~StdNumbersHeld()
    {
        for (int i = 0; i < mCount; ++i)
            close(mHeld[i]);
    }
    StdNumbersHeld(const StdNumbersHeld &) = delete;
    StdNumbersHeld &operator=(const StdNumbersHeld &) = delete;

private:
    static bool anyStdNumberFree()
    {
        for (int fd = 0; fd < 3; ++fd)
            if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
                return true;
        return false;
    }

    int mHeld[3] = {-1, -1, -1};
    int mCount = 0;
};

// Moves a descriptor that still landed on 0-2 (a stream closed by another
// thread after the numbers were held) above them.
int above2(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

int newSocket(int domain)
{
    StdNumbersHeld held;
    return above2(socket(domain, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
}

std::string hostName()
{
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
}

// Decimal text without std::to_string, whose digit table would be exported
// from the shared library.
std::string decimal(int n)
{
    char text[16];
    std::snprintf(text, sizeof text, "%d", n);
    return text;
}

int connectLocal(int display, XPeer &peer)
{
    const std::string path = "/tmp/.X11-unix/X" + decimal(display);
    for (const size_t lead : {size_t(1), size_t(0)}) { // 1: the abstract name, a NUL before the path
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        if (lead + path.size() >= sizeof address.sun_path)
            return -1;
        std::memcpy(address.sun_path + lead, path.data(), path.size());
        const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + lead + path.size() + (lead ? 0 : 1));
        const int fd = newSocket(AF_UNIX);
        if (fd < 0)
            return -1;
        // A local connect completes at once or fails (EAGAIN when the
        // server's queue is full): it never waits.
        if (connect(fd, reinterpret_cast<const sockaddr *>(&address), length) == 0) {
            peer.family = kFamilyLocal;
            peer.address = hostName();
            return fd;
        }
        close(fd);
    }
    return -1;
}

void peerOf(const addrinfo &reached, XPeer &peer)
{
    const unsigned char *bytes = nullptr;
    size_t size = 0;
    sockaddr_in v4 {};
    sockaddr_in6 v6 {};
    if (reached.ai_family == AF_INET) {
        std::memcpy(&v4, reached.ai_addr, sizeof v4);
        bytes = reinterpret_cast<const unsigned char *>(&v4.sin_addr);
        size = 4;
    } else {
        std::memcpy(&v6, reached.ai_addr, sizeof v6);
        bytes = v6.sin6_addr.s6_addr;
        size = 16;
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            bytes += 12;
            size = 4;
        }
    }
    const bool loopback = size == 4 ? bytes[0] == 127 : IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr);
    peer.family = loopback ? kFamilyLocal : size == 4 ? kFamilyInternet : kFamilyInternet6;
    peer.address = loopback ? hostName() : std::string(reinterpret_cast<const char *>(bytes), size);
}

int connectTcp(const std::string &host, int display, const Deadline &deadline, XPeer &peer)
{
    addrinfo hints {};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    // A name is looked up by the system's resolver, in its own time; an
    // address or "localhost" is answered locally.
    if (getaddrinfo(host.c_str(), decimal(6000 + display).c_str(), &hints, &found) != 0)
        return -1;
    int fd = -1;
    for (const addrinfo *a = found; a && fd < 0; a = a->ai_next) {
        if (a->ai_family != AF_INET && a->ai_family != AF_INET6)
            continue;
        fd = newSocket(a->ai_family);
        if (fd < 0)
            continue;
        int error = connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        if (error == EINPROGRESS) {
            socklen_t size = sizeof error;
            if (!waitFor(fd, POLLOUT, deadline) || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                error = ETIMEDOUT;
        }
        if (error != 0) {
            close(fd);
            fd = -1;
            continue;
        }
        // Requests go out in small batches that are each answered before the next.
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        peerOf(*a, peer);
    }
    freeaddrinfo(found);
    return fd;
}

} // namespace

int connectToDisplay(const std::string &host, int display, const Deadline &deadline, XPeer &peer)
{
    if (display < 0 || display > 65535 - 6000)
        return -1;
    peer.display = decimal(display);
    return host.empty() ? connectLocal(display, peer) : connectTcp(host, display, deadline, peer);
}

} // namespace screen
} // namespace vask
