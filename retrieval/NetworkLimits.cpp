#include "base/Limits.h"

#ifndef NETWORK_STALL_LIMIT_MS
#error "NETWORK_STALL_LIMIT_MS is the stall limit; the build defines it per installer variant"
#endif
#ifndef CATALOGUE_TIME_LIMIT_MS
#error "CATALOGUE_TIME_LIMIT_MS bounds the catalogue fetch; the build defines it per installer variant"
#endif

int networkStallLimitMs()
{
    return NETWORK_STALL_LIMIT_MS;
}

int catalogueTimeLimitMs()
{
    return CATALOGUE_TIME_LIMIT_MS;
}
