// Fuzzes the catalogue lookup on fetched bytes: they are decoded with decodeCatalogueText, parsed with
// parseCatalogue and looked up with findDriverUrlInCatalogue for a fixed set of product ids, every supported
// model's and the pid of each of the first entries. Checks, beside the sanitizers:
// - the decoded text is what the framework's stream reading would have made of the bytes;
// - any address given back is well-formed and begins with "https://" (any case);
// - whether an address comes back agrees with a reference walk over the parsed entries, and for plain
//   addresses (no query, no fragment) the address itself is the base joined to the entry's driver.
// - the signature check never verifies bytes a fuzzer made up, and a DER signature the strict parser
//   takes is the minimal encoding of what it gave back.

#include "devices/SupportedModels.h"
#include "retrieval/CatalogueSignature.h"
#include "retrieval/DriverCatalogue.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace
{
constexpr int entriesLookedUp = 16;

[[noreturn]] void fail(const char* what, const juce::String& detail = {})
{
    std::fprintf(stderr, "catalogue fuzzer: %s %s\n", what, detail.toRawUTF8());
    std::abort();
}

// The pid rule written out: every ASCII hex digit is shifted in, anything else skipped, 32 bits kept.
int referenceHexValue(const juce::String& text)
{
    std::uint32_t value = 0;
    for (auto p = text.getCharPointer(); !p.isEmpty(); ++p)
    {
        const juce::juce_wchar c = *p;
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = static_cast<int>(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<int>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<int>(c - 'A' + 10);
        if (digit >= 0)
            value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    return static_cast<int>(value);
}

// An element's attribute by a walk of its own, or empty text.
juce::String referenceAttribute(const CatalogueElement& element, const char* name)
{
    for (const auto& [attribute, value] : element.attributes)
        if (attribute == name)
            return value;
    return {};
}

// The first entry whose pid is productId, or nullptr.
const CatalogueElement* firstEntryWithPid(const Catalogue& catalogue, int productId)
{
    for (const CatalogueElement& entry : catalogue.entries)
        if (referenceHexValue(referenceAttribute(entry, "pid")) == productId)
            return &entry;
    return nullptr;
}

// The https rule written out: the scheme "https" in any case, "//" and something after it.
bool referenceIsHttps(const juce::String& address)
{
    return address.startsWithIgnoreCase("https://") && address.length() > 8;
}

void checkLookup(const Catalogue* catalogue, int productId)
{
    const juce::URL found = findDriverUrlInCatalogue(catalogue, productId);
    const juce::String address = found.toString(true);

    if (address.isNotEmpty() != found.isWellFormed())
        fail("an address that is not well-formed came back:", address);
    if (address.isNotEmpty() && !referenceIsHttps(address))
        fail("a non-https address came back:", address);

    const juce::String base =
        catalogue == nullptr ? juce::String() : referenceAttribute(catalogue->root, "driverBaseUrl");
    const CatalogueElement* entry =
        catalogue == nullptr || productId == 0 ? nullptr : firstEntryWithPid(*catalogue, productId);
    const bool expectAddress = entry != nullptr && referenceIsHttps(base);

    if (expectAddress != address.isNotEmpty())
        fail(expectAddress ? "no address for a listed product id" : "an address for an unlisted product id",
             juce::String::toHexString(productId) + " -> '" + address + "'");
    if (!expectAddress)
        return;

    const juce::String driver = referenceAttribute(*entry, "driver");
    if (base.containsAnyOf("?#") || driver.containsAnyOf("?#"))
        return; // JUCE takes those apart into parameters and an anchor: only the scheme is checked then

    const juce::String expected = base + (base.endsWithChar('/') ? "" : "/") +
                                  (driver.startsWithChar('/') ? driver.substring(1) : driver);
    if (address != expected)
        fail("the address is not the base joined to the entry's driver:",
             "'" + address + "' vs '" + expected + "'");
}
// Takes r and s, 32 bytes each; gives back their minimal DER SEQUENCE, written out independently.
std::vector<unsigned char> minimalDer(const RawP256Signature& signature)
{
    std::vector<unsigned char> body;
    for (int half = 0; half < 2; ++half)
    {
        const unsigned char* value = signature.data() + 32 * half;
        int skip = 0;
        while (skip < 31 && value[skip] == 0)
            ++skip;
        const bool pad = (value[skip] & 0x80) != 0;
        body.push_back(0x02);
        body.push_back(static_cast<unsigned char>(32 - skip + (pad ? 1 : 0)));
        if (pad)
            body.push_back(0x00);
        body.insert(body.end(), value + skip, value + 32);
    }
    body.insert(body.begin(), {0x30, static_cast<unsigned char>(body.size())});
    return body;
}

void checkSignature(const std::uint8_t* data, std::size_t size)
{
    if (const auto parsed = parseDerP256Signature(data, size))
        if (minimalDer(*parsed) != std::vector<unsigned char>(data, data + size))
            fail("parseDerP256Signature took a signature that is not minimal DER");
    // The P-256 generator: a valid point, under which no input a fuzzer makes up can carry a signature.
    CatalogueSigningKey key;
    const unsigned char generator[65] = {
        0x04, 0x6b, 0x17, 0xd1, 0xf2, 0xe1, 0x2c, 0x42, 0x47, 0xf8, 0xbc, 0xe6, 0xe5, 0x63, 0xa4, 0x40, 0xf2,
        0x77, 0x03, 0x7d, 0x81, 0x2d, 0xeb, 0x33, 0xa0, 0xf4, 0xa1, 0x39, 0x45, 0xd8, 0x98, 0xc2, 0x96, 0x4f,
        0xe3, 0x42, 0xe2, 0xfe, 0x1a, 0x7f, 0x9b, 0x8e, 0xe7, 0xeb, 0x4a, 0x7c, 0x0f, 0x9e, 0x16, 0x2b, 0xce,
        0x33, 0x57, 0x6b, 0x31, 0x5e, 0xce, 0xcb, 0xb6, 0x40, 0x68, 0x37, 0xbf, 0x51, 0xf5};
    std::copy(std::begin(generator), std::end(generator), key.point.begin());
    if (checkCatalogueSignature(data, size, {key}).outcome == SignatureOutcome::verified)
        fail("a catalogue verified under a key no one signs with");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    checkSignature(data, size);
    const juce::String text = decodeCatalogueText(data, size);
    juce::MemoryInputStream stream(data, size, false);
    if (text != stream.readEntireStreamAsString())
        fail("decodeCatalogueText differs from reading the bytes as a stream");

    const std::unique_ptr<Catalogue> catalogue = parseCatalogue(text);

    std::vector<int> productIds{0, 1, 0x25, 0xFFFF, 0x10000, -1, INT_MIN, INT_MAX};
    for (const SupportedModel& model : supportedModels())
        productIds.push_back(model.productId);
    if (catalogue != nullptr)
    {
        int looked = 0;
        for (const CatalogueElement& entry : catalogue->entries)
            if (looked++ < entriesLookedUp)
                productIds.push_back(referenceHexValue(referenceAttribute(entry, "pid")));
    }

    for (const int productId : productIds)
    {
        checkLookup(catalogue.get(), productId);
        checkLookup(nullptr, productId);
    }
    return 0;
}
