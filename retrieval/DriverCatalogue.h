#pragma once

#include "retrieval/HttpsFetch.h"

#include <juce_core/juce_core.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

// The catalogue document's address: the build's origin (CMake cache variable CATALOGUE_ORIGIN)
// followed by "/firmware/unitpanel/firmware/interfaces.xml". Defined in CatalogueAddress.cpp, which each
// installer variant compiles with its own origin.
juce::String catalogueAddress();

// The build's catalogue origin (CATALOGUE_ORIGIN), as catalogueAddress begins. Defined beside it.
juce::String catalogueOrigin();

// Takes fetched catalogue bytes; gives back their text decoded as the framework decodes a fetched text
// stream: UTF-16 after a byte-order mark, else UTF-8 (a UTF-8 byte-order mark is dropped), else, when the
// bytes are not UTF-8, Windows-1252. Nothing for more than 2 GiB. Writes nothing.
juce::String decodeCatalogueText(const void* data, std::size_t size);

// One element of the catalogue: its tag name and its attributes (name, value) in document order. Expat
// refuses two attributes of one name on an element, so the names are unique.
struct CatalogueElement
{
    juce::String name;
    std::vector<std::pair<juce::String, juce::String>> attributes;
};

// The catalogue as the lookup reads it: the document element and its child elements, the entries, in
// document order, whatever their tag names. Text, comments and anything nested deeper are not kept.
struct Catalogue
{
    CatalogueElement root;
    std::vector<CatalogueElement> entries;
};

// Takes an element and an attribute name (compared exactly); gives back the attribute's value, or nullptr
// when the element has none of that name. Writes nothing.
[[nodiscard]] const juce::String* findAttribute(const CatalogueElement& element, const juce::String& name);

// Takes the catalogue text (decoded already: an encoding the document declares is not applied again) and,
// optionally, a text to set to why it is refused. Gives back the catalogue, or nullptr when the text is
// not well-formed XML (expat's rules) or it has an internal DTD subset, a reference to an undeclared
// entity (in text or in an attribute value), a processing instruction after the root element has begun,
// or elements nested deeper than maxCatalogueNesting or with more attributes than
// maxCatalogueAttributesPerElement. Expat reads the text straight into the entries; the framework's own
// XML parser never sees it. Writes nothing.
[[nodiscard]] std::unique_ptr<Catalogue> parseCatalogue(const juce::String& text,
                                                        juce::String* whyNot = nullptr);

// Takes fetched catalogue bytes; decodes them with decodeCatalogueText and parses them with
// parseCatalogue. Gives back the catalogue, or nullptr (whyNot, when given, says why). Writes nothing.
[[nodiscard]] std::unique_ptr<Catalogue> parseFetchedCatalogue(const juce::MemoryBlock& body,
                                                               juce::String* whyNot = nullptr);

// Takes an entry's sha256 text; gives back whether it is exactly 64 hexadecimal digits (either case). Empty
// text, another length or any other character is not a hash: a typo must never switch the check off.
[[nodiscard]] bool isSha256Text(const juce::String& text);

// What the lookup found for one product id, and why it found no driver address.
enum class LookupOutcome
{
    found,           // address holds the driver address
    noDocument,      // the catalogue could not be fetched, or is not XML the lookup may read
    noEntry,         // no entry has the product id
    addressRefused,  // an entry has it, but the address formed from it is not https
    malformedSha256, // the entry's sha256 attribute is not 64 hexadecimal digits (address still given)
};

struct DriverLookup
{
    LookupOutcome outcome = LookupOutcome::noDocument;
    juce::URL address;      // empty unless found or malformedSha256
    bool hasSha256 = false; // the entry carries a sha256 attribute (even an empty one)
    juce::String sha256;    // its text as written
    juce::String entryPid;  // the entry that matched: its pid and driver attributes as written
    juce::String entryDriver;
    juce::String refusedAddress; // addressRefused: the address that was refused
    juce::String why;            // lookUpDriver: why no usable address was found (empty when found)
};

// Takes the parsed catalogue (or nullptr) and a USB product id; gives back what the first entry whose pid
// matches and whose address is https (isHttpsUrl, the fetch's own rule) yields: its address and its
// sha256 attribute, when it has one. Writes nothing.
[[nodiscard]] DriverLookup lookUpDriverInCatalogue(const Catalogue* catalogue, int productId);

// Takes the parsed catalogue (or nullptr) and a USB product id; gives back the driver address of the
// first entry whose pid matches, or an empty URL. Only https addresses are given back, and product id 0
// (what an entry without pid reads as) matches nothing. Writes nothing.
[[nodiscard]] juce::URL findDriverUrlInCatalogue(const Catalogue* catalogue, int productId);

// A catalogue fetch under way for one model slot, from startCatalogueLookup to finishCatalogueLookup.
struct CatalogueLookup
{
    int productId = 0; // the slot's USB product id
    FetchTask task;    // the catalogue's fetch into memory
};

// Takes a model slot; writes "catalogue: fetching <address>" to the run log and starts the catalogue's
// fetch (catalogueFetchLimits) on its worker. Gives back the lookup under way; the caller may do other
// work on its thread before finishCatalogueLookup.
[[nodiscard]] CatalogueLookup startCatalogueLookup(int modelSlot);

// Takes a lookup under way and, optionally, a call to make once per polling pass; waits for the fetch with
// awaitFetchIntoMemory (on the message thread, window messages are dispatched throughout) and reads the
// catalogue as lookUpDriver does. Gives back and writes what lookUpDriver gives back and writes, apart
// from the line startCatalogueLookup wrote.
[[nodiscard]] DriverLookup finishCatalogueLookup(CatalogueLookup& lookup,
                                                 const std::function<void()>& eachPass = {});

// Takes a model slot; fetches the catalogue (startCatalogueLookup, finishCatalogueLookup) and reads it; gives
// back what lookUpDriverInCatalogue finds for the slot's product id (noDocument when the fetch fails or the
// document is refused), with why no usable address was found. Writes the catalogue's address, redirects,
// status, size and time and the entry that matched to the run log.
[[nodiscard]] DriverLookup lookUpDriver(int modelSlot);

// Takes a model slot; gives back lookUpDriver's address for it, or an empty URL. Writes what lookUpDriver
// writes to the run log.
[[nodiscard]] juce::URL findDriverUrl(int modelSlot);
