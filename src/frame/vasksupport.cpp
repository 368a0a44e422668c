#include "vasksupport.h"

VaskSupport::VaskSupport() = default;

VaskSupport &VaskSupport::operator=(const VaskSupport &)
{
    return *this;
}

VaskSupport &VaskSupport::operator=(VaskSupport &&)
{
    return *this;
}
