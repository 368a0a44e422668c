#ifndef VASKSUPPORT_GLOBAL_H
#define VASKSUPPORT_GLOBAL_H

#include <QtCore/qglobal.h>

// VASKSUPPORT_LIBRARY is defined only while the library itself is compiled:
// the library then exports what carries this macro and a host imports it.
// On ELF platforms both expand to default visibility; everything without the
// macro stays hidden because the library is built with -fvisibility=hidden.
#if defined(VASKSUPPORT_LIBRARY)
#  define VASKSUPPORT_EXPORT Q_DECL_EXPORT
#else
#  define VASKSUPPORT_EXPORT Q_DECL_IMPORT
#endif

#endif // VASKSUPPORT_GLOBAL_H
