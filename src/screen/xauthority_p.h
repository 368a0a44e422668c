#ifndef VASKSUPPORT_SCREEN_XAUTHORITY_P_H
#define VASKSUPPORT_SCREEN_XAUTHORITY_P_H

// The cookie an X client shows the server, from the user's Xauthority file.
// Read here rather than through libXau, whose reader opens whatever path
// XAUTHORITY names (a FIFO there would hold the query forever).

#include <cstdint>
#include <string>

namespace vask {
namespace screen {

struct XAuthCookie {
    std::string name;
    std::string data;
};

// Address families of Xauthority entries.
enum : uint16_t { kFamilyInternet = 0, kFamilyInternet6 = 6, kFamilyLocal = 256, kFamilyWild = 65535 };

// The first MIT-MAGIC-COOKIE-1 entry of an Xauthority file's bytes that
// serves this host (family and address, or any host for FamilyWild) and
// display number (or any display for an entry without one); empty if none.
XAuthCookie findCookie(const std::string &file, uint16_t family, const std::string &address,
                       const std::string &display);

// The bytes of the file XAUTHORITY names, else of ~/.Xauthority; empty when
// it is missing, not a regular file or unreasonably large.
std::string readXauthority();

} // namespace screen
} // namespace vask

#endif // VASKSUPPORT_SCREEN_XAUTHORITY_P_H
