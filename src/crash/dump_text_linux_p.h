#ifndef VASKSUPPORT_CRASH_DUMP_TEXT_LINUX_P_H
#define VASKSUPPORT_CRASH_DUMP_TEXT_LINUX_P_H

// Bytes and text on the crash path, without the C library: a host that links
// the static library lazily would send a call to memcpy through the dynamic
// linker's resolver, and a sanitizer's interceptor may take locks. The copies
// are single string instructions, which the compiler can't turn back into
// library calls. Every function here is safe in a signal handler.

#include <cstddef>
#include <cstdint>

namespace vask {
namespace lx {

// Signal-safe.
inline void copyBytes(void *to, const void *from, std::size_t n)
{
    __asm__ volatile("rep movsb" : "+D"(to), "+S"(from), "+c"(n) : : "memory");
}

// Overlapping ranges, `to` below `from`. Signal-safe.
inline void moveDown(void *to, const void *from, std::size_t n)
{
    copyBytes(to, from, n); // rep movsb copies upwards, one byte at a time in effect
}

// Signal-safe.
inline void fillBytes(void *to, unsigned char byte, std::size_t n)
{
    __asm__ volatile("rep stosb" : "+D"(to), "+c"(n) : "a"(byte) : "memory");
}

// Signal-safe.
inline std::size_t textLength(const char *text)
{
    std::size_t n = 0;
    for (; text[n] != '\0'; ++n)
        __asm__("" : "+r"(n)); // a loop the compiler can't turn into a call to strlen
    return n;
}

// Signal-safe.
inline bool sameBytes(const char *a, const char *b, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i])
            return false;
    return true;
}

// Signal-safe.
inline const char *findByte(const char *from, char byte, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        if (from[i] == byte)
            return from + i;
    return nullptr;
}

// Signal-safe.
inline bool hasPrefix(const char *text, std::size_t length, const char *prefix)
{
    const std::size_t n = textLength(prefix);
    return length >= n && sameBytes(text, prefix, n);
}

// Signal-safe.
inline bool nameIs(const char *text, std::size_t length, const char *name)
{
    return length == textLength(name) && sameBytes(text, name, length);
}

// The one decimal reader of the crash path: digits from `p` on, stopping at
// the first other byte or at `end`; `p` is left there. A value that would
// pass `limit` reads as limit + 1. Signal-safe.
inline std::uint64_t parseDecimal(const char *&p, const char *end, std::uint64_t limit = ~std::uint64_t(0) / 10 - 1)
{
    std::uint64_t v = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p)
        v = v > limit ? limit + 1 : v * 10 + std::uint64_t(*p - '0');
    return v > limit ? limit + 1 : v;
}

// Lower-case hexadecimal, as /proc writes it. Signal-safe.
inline std::uint64_t parseHex(const char *&p, const char *end)
{
    std::uint64_t v = 0;
    for (; p < end; ++p) {
        const char c = *p;
        if (c >= '0' && c <= '9')
            v = v * 16 + std::uint64_t(c - '0');
        else if (c >= 'a' && c <= 'f')
            v = v * 16 + std::uint64_t(c - 'a' + 10);
        else
            break;
    }
    return v;
}

// Decimal text of `v` into `out` (room for 21 bytes); returns its length.
// Signal-safe.
inline std::size_t formatUnsigned(char *out, unsigned long long v)
{
    char digits[24];
    std::size_t n = 0;
    do {
        digits[n++] = char('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = digits[n - 1 - i];
    out[n] = '\0';
    return n;
}

} // namespace lx
} // namespace vask

#endif // VASKSUPPORT_CRASH_DUMP_TEXT_LINUX_P_H
