#include "retrieval/DriverCatalogue.h"

#include "devices/SupportedModels.h"
#include "retrieval/HttpsFetch.h"

#include <juce_data_structures/juce_data_structures.h>

#include <cctype>
#include <string_view>

namespace
{
const juce::Identifier driverBaseUrlAttribute("driverBaseUrl");
const juce::Identifier pidAttribute("pid");
const juce::Identifier driverAttribute("driver");
const juce::Identifier sha256Attribute("sha256");

// The catalogue is a root with a flat list of entries. JUCE's parser, its tree conversion and its element
// destructor all recurse once per nesting level, so a document nested a few thousand levels deep would
// overflow the stack; anything deeper than this is not a catalogue.
constexpr int maxCatalogueNesting = 64;

// Takes an address; gives back whether it is an https address (scheme in any case). Plain http, ftp or
// a bare host name would fetch a program that is then run with administrator rights.
bool isHttpsAddress(const juce::String& address)
{
    return address.startsWithIgnoreCase("https:");
}

// Takes bytes; gives back whether they are well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF). JUCE's parser reads malformed sequences inconsistently (an overlong "<" is a "<" to some of
// its reads and not to others), so only well-formed text lets the byte scan below see what the parser sees.
bool isWellFormedUtf8(std::string_view bytes)
{
    std::size_t i = 0;
    while (i < bytes.size())
    {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        int extra = 0;
        unsigned char low = 0x80, high = 0xBF; // the allowed range of the first continuation byte
        if (lead < 0x80)
            extra = 0;
        else if (lead >= 0xC2 && lead <= 0xDF)
            extra = 1;
        else if (lead >= 0xE0 && lead <= 0xEF)
        {
            extra = 2;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        }
        else if (lead >= 0xF0 && lead <= 0xF4)
        {
            extra = 3;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        }
        else
            return false;

        if (i + static_cast<std::size_t>(extra) >= bytes.size() && extra > 0)
            return false;
        for (int k = 1; k <= extra; ++k)
        {
            const auto next = static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]);
            if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF))
                return false;
        }
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

// Takes the document; gives back whether every character reference ("&#" ...) is complete: decimal
// digits, or "x" and one to eight hexadecimal digits, then ";". JUCE's entity reader steps over whatever
// stops a hexadecimal reference, the string's terminating zero included, and reads on past its end.
bool hasOnlyCompleteCharacterReferences(std::string_view text)
{
    for (std::size_t at = text.find("&#"); at != std::string_view::npos; at = text.find("&#", at + 2))
    {
        std::size_t i = at + 2;
        const bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
        if (hex)
            ++i;
        const std::size_t firstDigit = i;
        while (i < text.size() && (hex ? std::isxdigit(static_cast<unsigned char>(text[i])) != 0
                                       : (text[i] >= '0' && text[i] <= '9')))
            ++i;
        const std::size_t digits = i - firstDigit;
        if (digits == 0 || (hex && digits > 8) || i >= text.size() || text[i] != ';')
            return false;
    }
    return true;
}

// Takes the text from `from` on; gives back the index just past `terminator`, or npos when it is missing.
std::size_t indexPast(std::string_view text, std::size_t from, std::string_view terminator)
{
    const std::size_t found = text.find(terminator, from);
    return found == std::string_view::npos ? found : found + terminator.size();
}

// Takes the index of a tag's or declaration's "<"; gives back the index just past its closing ">" (quoted
// values may hold ">"), or npos when it is not closed or holds another "<" (never in a well-formed tag).
// Sets selfClosing when it ends with "/>".
std::size_t indexPastTag(std::string_view text, std::size_t start, bool& selfClosing)
{
    char quote = 0;
    char previous = 0;
    for (std::size_t i = start + 1; i < text.size(); ++i)
    {
        const char c = text[i];
        if (c == '<')
            return std::string_view::npos;
        if (quote != 0)
        {
            if (c == quote)
                quote = 0;
        }
        else if (c == '"' || c == '\'')
        {
            quote = c;
        }
        else if (c == '>')
        {
            selfClosing = previous == '/';
            return i + 1;
        }
        previous = c;
    }
    return std::string_view::npos;
}

// Takes the whole document as UTF-8; gives back whether JUCE's parser may be given it. Refused: malformed
// UTF-8; elements nested deeper than the catalogue limit (the parser recurses per level); an internal DTD
// subset (its entity expansion can loop without end); a processing instruction after the root element has
// begun (one followed by text inside an element makes the parser loop without end); an incomplete
// character reference; anything not closed, and tags that hold a "<". Well-formed catalogues have none of
// these. One pass, no recursion.
bool isSafeToParse(std::string_view text)
{
    if (!isWellFormedUtf8(text) || !hasOnlyCompleteCharacterReferences(text))
        return false;

    constexpr auto npos = std::string_view::npos;
    int depth = 0;
    bool rootSeen = false;
    std::size_t i = 0;
    while (i < text.size())
    {
        const std::size_t open = text.find('<', i);
        if (open == npos)
            return true;

        const std::string_view rest = text.substr(open);
        bool selfClosing = false;
        if (rest.compare(0, 4, "<!--") == 0)
        {
            i = indexPast(text, open + 4, "-->");
        }
        else if (rest.compare(0, 9, "<![CDATA[") == 0)
        {
            i = indexPast(text, open + 9, "]]>");
        }
        else if (rest.compare(0, 2, "<?") == 0)
        {
            if (rootSeen)
                return false;
            i = indexPast(text, open + 2, "?>");
        }
        else if (rest.compare(0, 2, "<!") == 0)
        {
            i = indexPastTag(text, open, selfClosing);
            if (i != npos && text.substr(open, i - open).find('[') != npos)
                return false;
        }
        else if (rest.compare(0, 2, "</") == 0)
        {
            depth = depth > 0 ? depth - 1 : 0;
            i = indexPastTag(text, open, selfClosing);
        }
        else
        {
            rootSeen = true;
            i = indexPastTag(text, open, selfClosing);
            if (!selfClosing && ++depth > maxCatalogueNesting)
                return false;
        }

        if (i == npos)
            return false;
    }
    return true;
}
} // namespace

std::unique_ptr<juce::XmlElement> parseCatalogue(const juce::String& text)
{
    if (!isSafeToParse(std::string_view(text.toRawUTF8(), text.getNumBytesAsUTF8())))
        return nullptr;
    return juce::parseXML(text);
}

bool isSha256Text(const juce::String& text)
{
    return text.length() == 64 && text.containsOnly("0123456789abcdefABCDEF");
}

std::unique_ptr<juce::XmlElement> parseFetchedCatalogue(const juce::MemoryBlock& body)
{
    const juce::String text =
        juce::String::createStringFromData(body.getData(), static_cast<int>(body.getSize()));
    return parseCatalogue(text);
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
        if (!isHttpsAddress(candidate))
        {
            lookup.outcome = LookupOutcome::addressRefused;
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
    const auto body = fetchIntoMemory(catalogueAddress(), catalogueFetchLimits());
    if (!body)
        return {};
    const std::unique_ptr<juce::XmlElement> catalogue = parseFetchedCatalogue(*body);
    return lookUpDriverInCatalogue(catalogue.get(), productId);
}

juce::URL findDriverUrl(int modelSlot)
{
    return lookUpDriver(modelSlot).address;
}
