#include "retrieval/HttpsFetch.h"

#ifndef NETWORK_STALL_LIMIT_MS
#error "NETWORK_STALL_LIMIT_MS is the stall limit; the build defines it per installer variant"
#endif
#ifndef CATALOGUE_TIME_LIMIT_MS
#error "CATALOGUE_TIME_LIMIT_MS bounds the catalogue fetch; the build defines it per installer variant"
#endif

FetchLimits catalogueFetchLimits()
{
    return {NETWORK_STALL_LIMIT_MS, CATALOGUE_TIME_LIMIT_MS, maxCatalogueBytes};
}

FetchLimits packageDownloadLimits()
{
    return {NETWORK_STALL_LIMIT_MS, 0, 0};
}
