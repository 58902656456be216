#pragma once

#include <juce_core/juce_core.h>

// The catalogue document's address: the build's origin (CMake cache variable CATALOGUE_ORIGIN)
// followed by "/firmware/unitpanel/firmware/interfaces.xml". Defined in CatalogueAddress.cpp, which each
// installer variant compiles with its own origin.
juce::String catalogueAddress();

// Takes the fetched catalogue text; gives back its document element, or nullptr when it is not XML or is
// text that JUCE's parser cannot be trusted with: malformed UTF-8, elements nested deeper than any
// catalogue (64 levels), an internal DTD subset, a processing instruction inside the root element, or a
// tag, comment or section that is never closed. On those the parser would overflow the stack or never
// finish. Writes nothing.
std::unique_ptr<juce::XmlElement> parseCatalogue(const juce::String& text);

// Takes the parsed catalogue (or nullptr) and a USB product id; gives back the driver address of the
// first entry whose pid matches, or an empty URL. Only https addresses are given back, and product id 0
// (what an entry without pid reads as) matches nothing. Writes nothing.
juce::URL findDriverUrlInCatalogue(const juce::XmlElement* catalogue, int productId);

// Takes a model slot; fetches the catalogue from catalogueAddress() over https only, within
// catalogueFetchLimits() (at most 8 MiB; blocking, no dispatching), parses it with parseCatalogue and gives
// back the driver address for the slot's product id, or an empty URL. Writes nothing.
juce::URL findDriverUrl(int modelSlot);
