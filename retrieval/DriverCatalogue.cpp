#include "retrieval/DriverCatalogue.h"

#include "app/RunLog.h"
#include "devices/SupportedModels.h"
#include "retrieval/CatalogueSignature.h"
#include "retrieval/HttpsFetch.h"

#include <juce_data_structures/juce_data_structures.h>

#include <expat.h>

#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
#include <type_traits>
#include <vector>

namespace
{
const juce::Identifier driverBaseUrlAttribute("driverBaseUrl");
const juce::Identifier pidAttribute("pid");
const juce::Identifier driverAttribute("driver");
const juce::Identifier sha256Attribute("sha256");

// The catalogue is a root with a flat list of entries. The tree conversion and the element destructor
// both recurse once per nesting level, so a document nested a few thousand levels deep would overflow the
// stack; anything deeper than this is not a catalogue.
constexpr int maxCatalogueNesting = 64;

// An entry has four attributes. XmlElement::setAttribute looks through those already set, so the
// time to build an element grows with the square of its attribute count: a limit keeps a hostile document
// of a few hundred kilobytes from taking minutes.
constexpr int maxAttributesPerElement = 256;

// Takes an address; gives back whether it is an https address (scheme in any case). Plain http, ftp or
// a bare host name would fetch a program that is then run with administrator rights.
bool isHttpsAddress(const juce::String& address)
{
    return address.startsWithIgnoreCase("https:");
}

// One element whose end tag has not been read yet, with its finished children in document order. They
// are attached when it ends: XmlElement::addChildElement walks the whole list, prepending does not.
struct OpenElement
{
    std::unique_ptr<juce::XmlElement> element;
    std::vector<std::unique_ptr<juce::XmlElement>> children;
};

// What expat's handlers share while a document is parsed.
struct TreeBuilder
{
    XML_Parser parser = nullptr;
    std::vector<OpenElement> open;
    std::unique_ptr<juce::XmlElement> root;
    juce::String refusal; // why the document is refused; empty while it is not
};

void refuse(TreeBuilder& builder, const juce::String& why)
{
    if (builder.refusal.isEmpty())
        builder.refusal =
            why + " (line " + juce::String((juce::int64)XML_GetCurrentLineNumber(builder.parser)) + ")";
    XML_StopParser(builder.parser, XML_FALSE);
}

void XMLCALL onStartElement(void* data, const XML_Char* name, const XML_Char** attributes)
{
    auto& builder = *static_cast<TreeBuilder*>(data);
    if (builder.refusal.isNotEmpty())
        return;
    if (builder.open.size() >= static_cast<std::size_t>(maxCatalogueNesting))
    {
        refuse(builder, "elements nested deeper than " + juce::String(maxCatalogueNesting) + " levels");
        return;
    }
    if (XML_GetSpecifiedAttributeCount(builder.parser) > 2 * maxAttributesPerElement)
    {
        refuse(builder, "an element with more than " + juce::String(maxAttributesPerElement) + " attributes");
        return;
    }

    auto element = std::make_unique<juce::XmlElement>(juce::String::fromUTF8(name));
    // Expat has refused duplicate names already, so each call appends.
    for (const XML_Char** attribute = attributes; *attribute != nullptr; attribute += 2)
        element->setAttribute(juce::Identifier(juce::String::fromUTF8(attribute[0])),
                              juce::String::fromUTF8(attribute[1]));
    builder.open.push_back({std::move(element), {}});
}

void XMLCALL onEndElement(void* data, const XML_Char*)
{
    auto& builder = *static_cast<TreeBuilder*>(data);
    if (builder.refusal.isNotEmpty() || builder.open.empty())
        return;

    OpenElement done = std::move(builder.open.back());
    builder.open.pop_back();
    for (auto child = done.children.rbegin(); child != done.children.rend(); ++child)
        done.element->prependChildElement(child->release());

    if (builder.open.empty())
        builder.root = std::move(done.element);
    else
        builder.open.back().children.push_back(std::move(done.element));
}

// An internal subset is where entities are declared, and entity expansion is what a hostile document
// would use to blow up; no catalogue has one.
void XMLCALL onStartDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*,
                            int hasInternalSubset)
{
    if (hasInternalSubset != 0)
        refuse(*static_cast<TreeBuilder*>(data), "an internal DTD subset");
}

void XMLCALL onEntityDeclaration(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                                 const XML_Char*, const XML_Char*, const XML_Char*)
{
    refuse(*static_cast<TreeBuilder*>(data), "an entity declaration");
}

// Processing instructions before the root element are ordinary (a style sheet, say); no catalogue has one
// after the root has begun, and such documents have always been refused.
void XMLCALL onProcessingInstruction(void* data, const XML_Char*, const XML_Char*)
{
    auto& builder = *static_cast<TreeBuilder*>(data);
    if (!builder.open.empty() || builder.root != nullptr)
        refuse(builder, "a processing instruction inside the document element");
}

// A reference to an entity that only an external DTD could declare (which is never read) is not text we
// can give a value to.
void XMLCALL onSkippedEntity(void* data, const XML_Char*, int)
{
    refuse(*static_cast<TreeBuilder*>(data), "a reference to an undeclared entity");
}

} // namespace

juce::String decodeCatalogueText(const void* data, std::size_t size)
{
    // The framework's reader would wrap a size past int's range into a negative one and give back nothing.
    if (size > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return {};
    return juce::String::createStringFromData(data, static_cast<int>(size));
}

std::unique_ptr<juce::XmlElement> parseCatalogue(const juce::String& text, juce::String* whyNot)
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

    TreeBuilder builder;
    builder.parser = parser.get();
    XML_SetUserData(parser.get(), &builder);
    XML_SetElementHandler(parser.get(), &onStartElement, &onEndElement);
    XML_SetStartDoctypeDeclHandler(parser.get(), &onStartDoctype);
    XML_SetEntityDeclHandler(parser.get(), &onEntityDeclaration);
    XML_SetSkippedEntityHandler(parser.get(), &onSkippedEntity);
    XML_SetProcessingInstructionHandler(parser.get(), &onProcessingInstruction);

    // XML_Parse takes an int length: the text goes in slices.
    constexpr std::size_t sliceBytes = 1 << 20;
    const char* next = text.toRawUTF8();
    std::size_t remaining = text.getNumBytesAsUTF8();
    // White space before the XML declaration makes a document not well-formed, but servers that put a line
    // break first have always been read, so it is skipped.
    while (remaining > 0 && (*next == ' ' || *next == '\t' || *next == '\r' || *next == '\n'))
    {
        ++next;
        --remaining;
    }
    do
    {
        const std::size_t slice = std::min(remaining, sliceBytes);
        remaining -= slice;
        if (XML_Parse(parser.get(), next, static_cast<int>(slice), remaining == 0 ? XML_TRUE : XML_FALSE) !=
            XML_STATUS_OK)
        {
            why = builder.refusal.isNotEmpty()
                      ? builder.refusal
                      : "not well-formed XML: " +
                            juce::String(XML_ErrorString(XML_GetErrorCode(parser.get()))) + " (line " +
                            juce::String((juce::int64)XML_GetCurrentLineNumber(parser.get())) + ", column " +
                            juce::String((juce::int64)XML_GetCurrentColumnNumber(parser.get())) + ")";
            return nullptr;
        }
        next += slice;
    } while (remaining > 0);

    why = builder.refusal;
    return builder.refusal.isNotEmpty() ? nullptr : std::move(builder.root);
}

bool isSha256Text(const juce::String& text)
{
    return text.length() == 64 && text.containsOnly("0123456789abcdefABCDEF");
}

std::unique_ptr<juce::XmlElement> parseFetchedCatalogue(const juce::MemoryBlock& body, juce::String* whyNot)
{
    return parseCatalogue(decodeCatalogueText(body.getData(), body.getSize()), whyNot);
}

DriverLookup lookUpDriverInCatalogue(const juce::XmlElement* catalogue, int productId)
{
    DriverLookup lookup;
    if (catalogue == nullptr)
        return lookup;
    lookup.outcome = LookupOutcome::noEntry;
    // Entries without a pid read as 0; no model has product id 0, so 0 must never find one of them.
    if (productId == 0)
        return lookup;

    const juce::ValueTree tree = juce::ValueTree::fromXml(*catalogue);

    for (int index = 0; index < tree.getNumChildren(); ++index)
    {
        const juce::ValueTree entry = tree.getChild(index);
        const int entryProductId = entry.getProperty(pidAttribute).toString().getHexValue32();
        const juce::String baseAddress = tree.getProperty(driverBaseUrlAttribute).toString();

        // A base address that is refused stays the candidate as it is, and is refused again below.
        juce::String candidate = baseAddress;
        if (isHttpsAddress(baseAddress))
            candidate = juce::URL(baseAddress)
                            .getChildURL(entry.getProperty(driverAttribute).toString())
                            .toString(true);

        if (entryProductId != productId)
            continue;
        lookup.entryPid = entry.getProperty(pidAttribute).toString();
        lookup.entryDriver = entry.getProperty(driverAttribute).toString();
        if (!isHttpsAddress(candidate))
        {
            lookup.outcome = LookupOutcome::addressRefused;
            lookup.refusedAddress = candidate;
            continue;
        }

        lookup.address = juce::URL(candidate);
        lookup.hasSha256 = entry.hasProperty(sha256Attribute);
        lookup.sha256 = entry.getProperty(sha256Attribute).toString();
        lookup.outcome = !lookup.hasSha256 || isSha256Text(lookup.sha256) ? LookupOutcome::found
                                                                          : LookupOutcome::malformedSha256;
        return lookup;
    }
    return lookup;
}

juce::URL findDriverUrlInCatalogue(const juce::XmlElement* catalogue, int productId)
{
    // A malformed sha256 is the download's to refuse; the address itself is as it always was.
    return lookUpDriverInCatalogue(catalogue, productId).address;
}

DriverLookup lookUpDriver(int modelSlot)
{
    const int productId = productIdForModelSlot(modelSlot);
    const auto productIdText = "0x" + juce::String::toHexString(productId).paddedLeft('0', 4);
    const auto address = catalogueAddress();
    logRunEvent("catalogue: fetching " + address);
    FetchReport report;
    const auto body = fetchIntoMemory(address, catalogueFetchLimits(), &report);
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
    const std::unique_ptr<juce::XmlElement> catalogue = parseFetchedCatalogue(*body, &whyNot);
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
        const int entries = catalogue->getNumChildElements();
        lookup.why = "the catalogue has no entry for product id " + productIdText +
                     " (its document element " + outsideText(catalogue->getTagName()) + " has " +
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
