#pragma once

#include <juce_core/juce_core.h>

// The catalogue document's address: the build's origin (CMake cache variable CATALOGUE_ORIGIN)
// followed by "/firmware/unitpanel/firmware/interfaces.xml". Defined in CatalogueAddress.cpp, which each
// installer variant compiles with its own origin.
juce::String catalogueAddress();

// Takes the parsed catalogue (or nullptr) and a USB product id; gives back the driver address of the
// first entry whose pid matches, or an empty URL. Only https addresses are given back. Writes nothing.
juce::URL findDriverUrlInCatalogue(const juce::XmlElement* catalogue, int productId);

// Takes a model slot; fetches the catalogue from catalogueAddress() (blocking, no dispatching) and gives
// back the driver address for the slot's product id, or an empty URL. Writes nothing.
juce::URL findDriverUrl(int modelSlot);
