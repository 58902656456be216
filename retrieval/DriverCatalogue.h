#pragma once

#include <juce_core/juce_core.h>

#include <cstddef>

// The catalogue document's address: the build's origin (CMake cache variable CATALOGUE_ORIGIN)
// followed by "/firmware/unitpanel/firmware/interfaces.xml". Defined in CatalogueAddress.cpp, which each
// installer variant compiles with its own origin.
juce::String catalogueAddress();

// Takes fetched catalogue bytes; gives back their text decoded as the framework decodes a fetched text
// stream: UTF-16 after a byte-order mark, else UTF-8 (a UTF-8 byte-order mark is dropped), else, when the
// bytes are not UTF-8, Windows-1252. Nothing for more than 2 GiB. Writes nothing.
juce::String decodeCatalogueText(const void* data, std::size_t size);

// Takes the catalogue text (decoded already: an encoding the document declares is not applied again);
// gives back its document element with each element's attributes and child elements in document order
// (no text or comment nodes), or nullptr when the text is not well-formed XML (expat's rules) or it has an
// internal DTD subset, a reference in text to an undeclared entity, a processing instruction after the root
// element has begun, or elements nested deeper (64 levels) or with more attributes (256) than any
// catalogue's. The framework's own XML parser never sees the text. Writes nothing.
std::unique_ptr<juce::XmlElement> parseCatalogue(const juce::String& text);

// Takes the parsed catalogue (or nullptr) and a USB product id; gives back the driver address of the
// first entry whose pid matches, or an empty URL. Only https addresses are given back, and product id 0
// (what an entry without pid reads as) matches nothing. Writes nothing.
juce::URL findDriverUrlInCatalogue(const juce::XmlElement* catalogue, int productId);

// Takes a model slot; fetches the catalogue from catalogueAddress() (blocking, no dispatching), parses it
// with parseCatalogue and gives back the driver address for the slot's product id, or an empty URL.
// Writes nothing.
juce::URL findDriverUrl(int modelSlot);
