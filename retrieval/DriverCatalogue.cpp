#include "retrieval/DriverCatalogue.h"

#include "base/Limits.h"
#include "base/RunLog.h"
#include "devices/SupportedModels.h"
#include "retrieval/CatalogueSignature.h"
#include "retrieval/HttpsFetch.h"

#include <expat.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <type_traits>
#include <vector>

namespace
{
// What expat's handlers share while a document is parsed.
struct CatalogueReader
{
    XML_Parser parser = nullptr;
    const char* text = nullptr; // every byte handed to expat, for the raw start tags
    std::size_t textBytes = 0;
    int openElements = 0;
    bool rootSeen = false;
    Catalogue catalogue;
    juce::String refusal; // why the document is refused; empty while it is not
};

void refuse(CatalogueReader& reader, const juce::String& why)
{
    if (reader.refusal.isEmpty())
        reader.refusal =
            why + " (line " + juce::String((juce::int64)XML_GetCurrentLineNumber(reader.parser)) + ")";
    XML_StopParser(reader.parser, XML_FALSE);
}

// Takes the reader at a start tag; gives back whether the tag's text refers to an entity other than the
// five predefined ones. Expat refuses such a reference in text, but leaves it out of an attribute value
// without a word when the document names an external DTD (which is never read): a value must not lose
// part of itself. No entity can be declared (an internal subset is refused), so any other name is one.
bool startTagRefersToUndeclaredEntity(const CatalogueReader& reader)
{
    const XML_Index index = XML_GetCurrentByteIndex(reader.parser);
    const int count = XML_GetCurrentByteCount(reader.parser);
    if (index < 0 || count <= 0 ||
        static_cast<std::size_t>(index) + static_cast<std::size_t>(count) > reader.textBytes)
        return false;
    const std::string_view tag(reader.text + index, static_cast<std::size_t>(count));
    for (auto at = tag.find('&'); at != std::string_view::npos; at = tag.find('&', at + 1))
    {
        const auto reference = tag.substr(at + 1);
        bool predefined = reference.substr(0, 1) == "#"; // a character reference, which expat checks
        for (const char* name : {"amp;", "lt;", "gt;", "quot;", "apos;"})
            predefined = predefined || reference.substr(0, std::strlen(name)) == name;
        if (!predefined)
            return true;
    }
    return false;
}

void XMLCALL onStartElement(void* data, const XML_Char* name, const XML_Char** attributes)
{
    auto& reader = *static_cast<CatalogueReader*>(data);
    if (reader.refusal.isNotEmpty())
        return;
    if (reader.openElements >= maxCatalogueNesting)
    {
        refuse(reader, "elements nested deeper than " + juce::String(maxCatalogueNesting) + " levels");
        return;
    }
    if (XML_GetSpecifiedAttributeCount(reader.parser) > 2 * maxCatalogueAttributesPerElement)
    {
        refuse(reader,
               "an element with more than " + juce::String(maxCatalogueAttributesPerElement) + " attributes");
        return;
    }
    if (startTagRefersToUndeclaredEntity(reader))
    {
        refuse(reader, "a reference to an undeclared entity in an attribute value");
        return;
    }

    // Only the document element and its children are read; deeper elements are checked and passed over.
    ++reader.openElements;
    if (reader.openElements > 2)
        return;
    CatalogueElement element{juce::String::fromUTF8(name), {}};
    // Expat has refused duplicate names already.
    for (const XML_Char** attribute = attributes; *attribute != nullptr; attribute += 2)
        element.attributes.emplace_back(juce::String::fromUTF8(attribute[0]),
                                        juce::String::fromUTF8(attribute[1]));
    if (reader.openElements == 1)
    {
        reader.catalogue.root = std::move(element);
        reader.rootSeen = true;
    }
    else
        reader.catalogue.entries.push_back(std::move(element));
}

void XMLCALL onEndElement(void* data, const XML_Char*)
{
    auto& reader = *static_cast<CatalogueReader*>(data);
    if (reader.refusal.isEmpty() && reader.openElements > 0)
        --reader.openElements;
}

// An internal subset is where entities are declared, and entity expansion is what a hostile document
// would use to blow up; no catalogue has one.
void XMLCALL onStartDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*,
                            int hasInternalSubset)
{
    if (hasInternalSubset != 0)
        refuse(*static_cast<CatalogueReader*>(data), "an internal DTD subset");
}

void XMLCALL onEntityDeclaration(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                                 const XML_Char*, const XML_Char*, const XML_Char*)
{
    refuse(*static_cast<CatalogueReader*>(data), "an entity declaration");
}

// Processing instructions before the root element are ordinary (a style sheet, say); no catalogue has one
// after the root has begun, and such documents have always been refused.
void XMLCALL onProcessingInstruction(void* data, const XML_Char*, const XML_Char*)
{
    auto& reader = *static_cast<CatalogueReader*>(data);
    if (reader.openElements > 0 || reader.rootSeen)
        refuse(reader, "a processing instruction inside the document element");
}

// A reference in text to an entity that only an external DTD could declare (which is never read) is not
// text we can give a value to.
void XMLCALL onSkippedEntity(void* data, const XML_Char*, int)
{
    refuse(*static_cast<CatalogueReader*>(data), "a reference to an undeclared entity");
}

// Takes an element and an attribute name; gives back the attribute's text, or empty text for none.
juce::String attributeText(const CatalogueElement& element, const char* name)
{
    const juce::String* value = findAttribute(element, name);
    return value != nullptr ? *value : juce::String();
}
} // namespace

juce::String decodeCatalogueText(const void* data, std::size_t size)
{
    // The framework's reader would wrap a size past int's range into a negative one and give back nothing.
    if (size > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return {};
    // It also reads one byte past a UTF-8 byte-order mark that nothing follows.
    if (size == 3 && juce::CharPointer_UTF8::isByteOrderMark(data))
        return {};
    return juce::String::createStringFromData(data, static_cast<int>(size));
}

const juce::String* findAttribute(const CatalogueElement& element, const juce::String& name)
{
    for (const auto& attribute : element.attributes)
        if (attribute.first == name)
            return &attribute.second;
    return nullptr;
}

std::unique_ptr<Catalogue> parseCatalogue(const juce::String& text, juce::String* whyNot)
{
    juce::String ignored;
    juce::String& why = whyNot != nullptr ? *whyNot : ignored;
    // The text is decoded already: its UTF-8 is what expat reads, whatever encoding the document declares.
    const std::unique_ptr<std::remove_pointer_t<XML_Parser>, decltype(&XML_ParserFree)> parser(
        XML_ParserCreate("UTF-8"), &XML_ParserFree);
    if (parser == nullptr)
    {
        why = "no XML parser";
        return nullptr;
    }

    const char* next = text.toRawUTF8();
    std::size_t remaining = text.getNumBytesAsUTF8();
    // White space before the XML declaration makes a document not well-formed, but servers that put a line
    // break first have always been read, so it is skipped.
    while (remaining > 0 && (*next == ' ' || *next == '\t' || *next == '\r' || *next == '\n'))
    {
        ++next;
        --remaining;
    }

    CatalogueReader reader;
    reader.parser = parser.get();
    reader.text = next;
    reader.textBytes = remaining;
    XML_SetUserData(parser.get(), &reader);
    XML_SetElementHandler(parser.get(), &onStartElement, &onEndElement);
    XML_SetStartDoctypeDeclHandler(parser.get(), &onStartDoctype);
    XML_SetEntityDeclHandler(parser.get(), &onEntityDeclaration);
    XML_SetSkippedEntityHandler(parser.get(), &onSkippedEntity);
    XML_SetProcessingInstructionHandler(parser.get(), &onProcessingInstruction);

    // XML_Parse takes an int length: the text goes in slices.
    do
    {
        const std::size_t slice = std::min(remaining, catalogueParseSliceBytes);
        remaining -= slice;
        if (XML_Parse(parser.get(), next, static_cast<int>(slice), remaining == 0 ? XML_TRUE : XML_FALSE) !=
            XML_STATUS_OK)
        {
            why = reader.refusal.isNotEmpty()
                      ? reader.refusal
                      : "not well-formed XML: " +
                            juce::String(XML_ErrorString(XML_GetErrorCode(parser.get()))) + " (line " +
                            juce::String((juce::int64)XML_GetCurrentLineNumber(parser.get())) + ", column " +
                            juce::String((juce::int64)XML_GetCurrentColumnNumber(parser.get())) + ")";
            return nullptr;
        }
        next += slice;
    } while (remaining > 0);

    why = reader.refusal;
    if (reader.refusal.isNotEmpty() || !reader.rootSeen)
        return nullptr;
    return std::make_unique<Catalogue>(std::move(reader.catalogue));
}

bool isSha256Text(const juce::String& text)
{
    return text.length() == 64 && text.containsOnly("0123456789abcdefABCDEF");
}

std::unique_ptr<Catalogue> parseFetchedCatalogue(const juce::MemoryBlock& body, juce::String* whyNot)
{
    return parseCatalogue(decodeCatalogueText(body.getData(), body.getSize()), whyNot);
}

DriverLookup lookUpDriverInCatalogue(const Catalogue* catalogue, int productId)
{
    DriverLookup lookup;
    if (catalogue == nullptr)
        return lookup;
    lookup.outcome = LookupOutcome::noEntry;
    // Entries without a pid read as 0; no model has product id 0, so 0 must never find one of them.
    if (productId == 0)
        return lookup;

    const juce::String baseAddress = attributeText(catalogue->root, "driverBaseUrl");
    for (const CatalogueElement& entry : catalogue->entries)
    {
        const juce::String pid = attributeText(entry, "pid");
        if (pid.getHexValue32() != productId)
            continue;
        lookup.entryPid = pid;
        lookup.entryDriver = attributeText(entry, "driver");

        // A base address that is refused stays the candidate as it is, and is refused again below.
        const juce::String candidate =
            isHttpsUrl(baseAddress)
                ? juce::URL(baseAddress).getChildURL(lookup.entryDriver).toString(true)
                : baseAddress;
        if (!isHttpsUrl(candidate))
        {
            lookup.outcome = LookupOutcome::addressRefused;
            lookup.refusedAddress = candidate;
            continue;
        }

        lookup.address = juce::URL(candidate);
        const juce::String* sha256 = findAttribute(entry, "sha256");
        lookup.hasSha256 = sha256 != nullptr;
        lookup.sha256 = lookup.hasSha256 ? *sha256 : juce::String();
        lookup.outcome = !lookup.hasSha256 || isSha256Text(lookup.sha256) ? LookupOutcome::found
                                                                          : LookupOutcome::malformedSha256;
        return lookup;
    }
    return lookup;
}

juce::URL findDriverUrlInCatalogue(const Catalogue* catalogue, int productId)
{
    // A malformed sha256 is the download's to refuse; the address itself is as it always was.
    return lookUpDriverInCatalogue(catalogue, productId).address;
}

CatalogueLookup startCatalogueLookup(int modelSlot)
{
    const auto address = catalogueAddress();
    logRunEvent("catalogue: fetching " + address);
    return {productIdForModelSlot(modelSlot), startFetch(address, NewFile(), catalogueFetchLimits())};
}

DriverLookup lookUpDriver(int modelSlot)
{
    CatalogueLookup started = startCatalogueLookup(modelSlot);
    return finishCatalogueLookup(started);
}

DriverLookup finishCatalogueLookup(CatalogueLookup& started, const std::function<void()>& eachPass)
{
    const int productId = started.productId;
    const auto productIdText = "0x" + juce::String::toHexString(productId).paddedLeft('0', 4);
    FetchReport report;
    const auto body = awaitFetchIntoMemory(started.task, &report, eachPass);
    for (const auto& hop : report.hops)
        logRunEvent("catalogue: redirect " + outsideText(hop));
    const auto received = "HTTP " + juce::String(report.status) + ", " + juce::String(report.bytes) +
                          " bytes in " + juce::String(report.elapsedMs) + " ms";
    logRunEvent("catalogue: " + received);

    DriverLookup lookup;
    if (!body)
    {
        lookup.why = "the catalogue could not be fetched (" + received + "): " + outsideText(report.failure);
        return lookup;
    }
    // A build with signing keys parses only what verified under one of them.
    bool signedCatalogue = false;
    if (!admitFetchedCatalogue(*body, signedCatalogue, lookup.why))
        return lookup;
    juce::String whyNot;
    const std::unique_ptr<Catalogue> catalogue = parseFetchedCatalogue(*body, &whyNot);
    if (catalogue == nullptr)
    {
        // The start of the text tells support what came instead: a page, another format, a cut-off file.
        lookup.why = "the catalogue (" + received +
                     ") is not a document the installer reads: " + outsideText(whyNot) + "; it begins " +
                     outsideText(decodeCatalogueText(body->getData(), body->getSize()).substring(0, 40));
        return lookup;
    }

    lookup = lookUpDriverInCatalogue(catalogue.get(), productId);
    switch (lookup.outcome)
    {
    case LookupOutcome::found:
    case LookupOutcome::malformedSha256:
        logRunEvent("catalogue: entry pid=" + outsideText(lookup.entryPid) +
                    " driver=" + outsideText(lookup.entryDriver) +
                    (lookup.hasSha256 ? " sha256=" + outsideText(lookup.sha256) : juce::String()));
        if (lookup.outcome == LookupOutcome::malformedSha256)
            lookup.why = "the catalogue entry for product id " + productIdText +
                         " has a sha256 that is not 64 hexadecimal digits: " + outsideText(lookup.sha256);
        // A signature vouches for the package only through its hash.
        if (signedCatalogue && !lookup.hasSha256)
        {
            lookup.address = juce::URL();
            lookup.why =
                "the catalogue is signed but its entry for product id " + productIdText + " has no sha256";
        }
        break;
    case LookupOutcome::noDocument:
        lookup.why = "the catalogue has no document element";
        break;
    case LookupOutcome::noEntry:
    {
        const int entries = (int)catalogue->entries.size();
        lookup.why = "the catalogue has no entry for product id " + productIdText +
                     " (its document element " + outsideText(catalogue->root.name) + " has " +
                     (entries == 0 ? juce::String("no entries") : juce::String(entries) + " entries") + ")";
        break;
    }
    case LookupOutcome::addressRefused:
        lookup.why = "the catalogue entry for product id " + productIdText +
                     " gives an address that is not https: " + outsideText(lookup.refusedAddress);
        break;
    }
    return lookup;
}

juce::URL findDriverUrl(int modelSlot)
{
    return lookUpDriver(modelSlot).address;
}
