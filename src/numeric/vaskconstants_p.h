#ifndef VASKSUPPORT_NUMERIC_VASKCONSTANTS_P_H
#define VASKSUPPORT_NUMERIC_VASKCONSTANTS_P_H

// Library-internal constants (not installed). One definition each, shared by
// every translation unit that needs it.
namespace VaskConstants {

// The double nearest pi.
inline constexpr double pi = 3.141592653589793;

} // namespace VaskConstants

#endif // VASKSUPPORT_NUMERIC_VASKCONSTANTS_P_H
