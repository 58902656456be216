#include "retrieval/DriverCatalogue.h"

#ifndef CATALOGUE_ORIGIN
#error "CATALOGUE_ORIGIN names the download server; the build defines it per installer variant"
#endif

juce::String catalogueOrigin()
{
    return CATALOGUE_ORIGIN;
}

juce::String catalogueAddress()
{
    return catalogueOrigin() + "/firmware/unitpanel/firmware/interfaces.xml";
}
