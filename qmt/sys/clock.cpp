// Nothing else belongs in this file: a test program that defines
// LocalTimeNow itself must be able to leave it out of the link.
#include "qmt/sys/clock.h"

namespace qmt {

SYSTEMTIME LocalTimeNow()
{
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return now;
}

} // namespace qmt
