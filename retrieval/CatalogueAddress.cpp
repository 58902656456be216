#include "retrieval/DriverCatalogue.h"

#ifndef CATALOGUE_ORIGIN
#error "CATALOGUE_ORIGIN names the download server; the build defines it per installer variant"
#endif

juce::String catalogueAddress()
{
    return juce::String(CATALOGUE_ORIGIN) + "/firmware/unitpanel/firmware/interfaces.xml";
}
