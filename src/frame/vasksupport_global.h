#ifndef VASKSUPPORT_FRAME_VASKSUPPORT_GLOBAL_H
#define VASKSUPPORT_FRAME_VASKSUPPORT_GLOBAL_H

#include <QtCore/qglobal.h>

// VASKSUPPORT_EXPORT marks what the library exports: defined by the
// generated vasksupport_export.h as export while the shared library itself
// is compiled (VASKSUPPORT_LIBRARY), import for hosts, and empty for the
// static library (VASKSUPPORT_STATIC, set by its CMake target and .pc file).
// On ELF platforms export and import are both default visibility; all else
// stays hidden because the library is built with -fvisibility=hidden.
#include "vasksupport_export.h"
#include "vasksupport_version.h"

#endif // VASKSUPPORT_FRAME_VASKSUPPORT_GLOBAL_H
