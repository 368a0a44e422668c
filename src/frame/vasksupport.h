#ifndef VASKSUPPORT_FRAME_VASKSUPPORT_H
#define VASKSUPPORT_FRAME_VASKSUPPORT_H

#include "vasksupport_global.h"

// The class that bears the library's name. It holds nothing and does nothing;
// hosts use it to check that the library is linked.
class VASKSUPPORT_EXPORT VaskSupport
{
public:
    VaskSupport();
    VaskSupport(const VaskSupport &) = default;
    VaskSupport(VaskSupport &&) = default;
    VaskSupport &operator=(const VaskSupport &);
    VaskSupport &operator=(VaskSupport &&);
};

#endif // VASKSUPPORT_FRAME_VASKSUPPORT_H
