// The catalogue lookup on documents held in memory: how fetched bytes are decoded, which documents the
// parser refuses, how entries are matched and how driver addresses are formed from the base address.

#include "retrieval/DriverCatalogue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
const juce::String base = "https://dl.example.test/drivers";

// Takes the root's attributes and the entries as XML text; gives back the lookup's result as text ("" for
// an empty address).
juce::String lookUp(const juce::String& rootAttributes, const juce::String& entries, int productId)
{
    const auto xml = parseCatalogue("<interfaces " + rootAttributes + ">" + entries + "</interfaces>");
    EXPECT_NE(xml, nullptr);
    const juce::URL result = findDriverUrlInCatalogue(xml.get(), productId);
    EXPECT_EQ(result.isWellFormed(), result.toString(true).isNotEmpty());
    return result.toString(true);
}

juce::String withBase(const juce::String& entries, int productId)
{
    return lookUp("driverBaseUrl=\"" + base + "\"", entries, productId);
}

juce::String entry(const juce::String& pid, const juce::String& driver)
{
    return "<interface name=\"Unit\" pid=\"" + pid + "\" driver=\"" + driver + "\" file=\"\"/>";
}

// Takes a document as UTF-8; gives back its bytes as UTF-16 after a byte-order mark.
std::vector<unsigned char> utf16WithMark(const std::string& utf8, bool bigEndian)
{
    std::vector<unsigned char> bytes{static_cast<unsigned char>(bigEndian ? 0xFE : 0xFF),
                                     static_cast<unsigned char>(bigEndian ? 0xFF : 0xFE)};
    const juce::String text = juce::String::fromUTF8(utf8.c_str());
    for (auto p = text.toUTF16(); !p.isEmpty();)
    {
        const auto unit = static_cast<unsigned>(*p.getAddress());
        p = juce::CharPointer_UTF16(p.getAddress() + 1);
        const auto high = static_cast<unsigned char>(unit >> 8),
                   low = static_cast<unsigned char>(unit & 0xFF);
        bytes.push_back(bigEndian ? high : low);
        bytes.push_back(bigEndian ? low : high);
    }
    return bytes;
}

// Takes a parsed catalogue and an attribute name; gives back that attribute of its first entry, or "none".
juce::String attributeOfFirstEntry(const Catalogue& catalogue, const char* name)
{
    const juce::String* value =
        catalogue.entries.empty() ? nullptr : findAttribute(catalogue.entries[0], name);
    return value != nullptr ? *value : juce::String("none");
}

// Takes fetched bytes; gives back the catalogue's driver address for productId, through the decoding,
// the parser and the lookup ("" for none, "refused" when the parser gave back nothing).
juce::String lookUpFetched(const std::string& bytes, int productId)
{
    const auto xml = parseCatalogue(decodeCatalogueText(bytes.data(), bytes.size()));
    return xml == nullptr ? "refused" : findDriverUrlInCatalogue(xml.get(), productId).toString(true);
}

juce::String nested(int depth)
{
    std::string text;
    for (int i = 0; i < depth; ++i)
        text += "<a>";
    for (int i = 0; i < depth; ++i)
        text += "</a>";
    return juce::String(text);
}
} // namespace

TEST(CatalogueLookup, PidFormsReadAsTheSameHexadecimalId)
{
    for (const char* pid : {"0x1a2b", "0X1A2B", "1a2b", "1A2B", "0x00001a2B", "0x0000001A2b", "0x100001a2b"})
    {
        SCOPED_TRACE(pid);
        EXPECT_EQ(withBase(entry("0x0999", "Other.zip") + entry(pid, "Tarnwell_U1_1.0.0.1.zip"), 0x1a2b),
                  base + "/Tarnwell_U1_1.0.0.1.zip");
    }
}

TEST(CatalogueLookup, DecimalLookingPidIsReadAsHexadecimal)
{
    const juce::String entries = entry("25", "Tarnwell_U25.zip");
    EXPECT_EQ(withBase(entries, 0x25), base + "/Tarnwell_U25.zip");
    EXPECT_EQ(withBase(entries, 37), base + "/Tarnwell_U25.zip");
    EXPECT_EQ(withBase(entries, 25), "");
}

TEST(CatalogueLookup, FirstOfDuplicateEntriesWins)
{
    const juce::String entries = entry("0x0010", "Other.zip") + entry("0x0020", "First.zip") +
                                 entry("0x0020", "Second.zip") + entry("0x20", "Third.exe");
    EXPECT_EQ(withBase(entries, 0x20), base + "/First.zip");
    EXPECT_EQ(withBase(entries, 0x10), base + "/Other.zip");
}

TEST(CatalogueLookup, UnlistedOrMissingPidGivesNothing)
{
    EXPECT_EQ(withBase(entry("0x0010", "A.zip") + entry("0x0011", "B.zip"), 0x12), "");
    // An entry without pid reads as 0, and no model has product id 0.
    EXPECT_EQ(withBase("<interface driver=\"NoPid.zip\"/>" + entry("0x0011", "B.zip"), 0x11),
              base + "/B.zip");
    EXPECT_EQ(withBase("<interface driver=\"NoPid.zip\"/>", 0), "");
    EXPECT_EQ(withBase(entry("", "EmptyPid.zip"), 0), "");
}

TEST(CatalogueLookup, MissingOrEmptyBaseAddressGivesNothing)
{
    EXPECT_EQ(lookUp("", entry("0x0010", "A.zip"), 0x10), "");
    EXPECT_EQ(lookUp("driverBaseUrl=\"\"", entry("0x0010", "A.zip"), 0x10), "");
    EXPECT_EQ(lookUp("otherBaseUrl=\"" + base + "\"", entry("0x0010", "A.zip"), 0x10), "");
}

TEST(CatalogueLookup, OnlyHttpsBaseAddressesAreAccepted)
{
    for (const char* refused : {"http://dl.example.test/drivers", "ftp://dl.example.test/drivers",
                                "dl.example.com/drivers", "file:///tmp/drivers", "httpsx//dl.example.test"})
    {
        SCOPED_TRACE(refused);
        EXPECT_EQ(lookUp("driverBaseUrl=\"" + juce::String(refused) + "\"", entry("0x0010", "A.zip"), 0x10),
                  "");
    }
    EXPECT_EQ(lookUp("driverBaseUrl=\"HTTPS://DL.example.test/d\"", entry("0x0010", "A.zip"), 0x10),
              "HTTPS://DL.example.test/d/A.zip");
    EXPECT_EQ(lookUp("driverBaseUrl=\"hTtPs://dl.example.test/d\"", entry("0x0010", "A.zip"), 0x10),
              "hTtPs://dl.example.test/d/A.zip");
}

TEST(CatalogueLookup, AnyTagNamesAndTextBetweenEntries)
{
    const auto xml =
        parseCatalogue("<list driverBaseUrl=\"" + base +
                       "\">stray text<item pid=\"0x10\" driver=\"A.zip\"/>more"
                       "<thing pid=\"0x11\" driver=\"B.exe\"><inner pid=\"0x12\"/></thing></list>");
    ASSERT_NE(xml, nullptr);
    EXPECT_EQ(findDriverUrlInCatalogue(xml.get(), 0x10).toString(true), base + "/A.zip");
    EXPECT_EQ(findDriverUrlInCatalogue(xml.get(), 0x11).toString(true), base + "/B.exe");
    // Only children of the root are entries.
    EXPECT_FALSE(findDriverUrlInCatalogue(xml.get(), 0x12).isWellFormed());
}

TEST(CatalogueLookup, EmptyRootOrNoDocumentGivesNothing)
{
    EXPECT_EQ(withBase("", 0x10), "");
    EXPECT_FALSE(findDriverUrlInCatalogue(nullptr, 0x10).isWellFormed());
}

TEST(CatalogueLookup, SlashesAreJoinedOnce)
{
    const juce::String entries = entry("0x10", "/A.zip") + entry("0x11", "B.zip");
    EXPECT_EQ(lookUp("driverBaseUrl=\"" + base + "/\"", entries, 0x10), base + "/A.zip");
    EXPECT_EQ(lookUp("driverBaseUrl=\"" + base + "\"", entries, 0x10), base + "/A.zip");
    EXPECT_EQ(lookUp("driverBaseUrl=\"" + base + "/\"", entries, 0x11), base + "/B.zip");
    EXPECT_EQ(lookUp("driverBaseUrl=\"" + base + "\"", entries, 0x11), base + "/B.zip");
}

TEST(CatalogueLookup, MissingOrEmptyDriverGivesTheFolderAddress)
{
    EXPECT_EQ(withBase("<interface pid=\"0x10\"/>", 0x10), base + "/");
    EXPECT_EQ(withBase(entry("0x10", ""), 0x10), base + "/");
}

TEST(CatalogueLookup, DriverNameIsAppendedUnchanged)
{
    EXPECT_EQ(withBase(entry("0x10", "Tarnwell Unit &amp; Co_1.0.0.2.zip"), 0x10),
              base + "/Tarnwell Unit & Co_1.0.0.2.zip");
    EXPECT_EQ(withBase(entry("0x10", "sub/dir/A.zip"), 0x10), base + "/sub/dir/A.zip");
}

TEST(CatalogueParsing, OrdinaryDocumentsParse)
{
    const auto xml =
        parseCatalogue("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE interfaces>\n"
                       "<!-- <a><a><a><a> -->\n<interfaces driverBaseUrl=\"" +
                       base +
                       "\">\n"
                       "  <interface pid=\"0x10\" name=\"a&gt;b\" note='x > y &lt; z' driver=\"A.zip\"/>\n"
                       "  <interface pid=\"0x11\" driver=\"B.zip\"><![CDATA[<a><a><a>]]></interface>\n"
                       "</interfaces>\n");
    ASSERT_NE(xml, nullptr);
    EXPECT_EQ(findDriverUrlInCatalogue(xml.get(), 0x11).toString(true), base + "/B.zip");
}

TEST(CatalogueParsing, NonXmlTextGivesNothing)
{
    EXPECT_EQ(parseCatalogue(""), nullptr);
    EXPECT_EQ(parseCatalogue("<html><body><h1>404 Not Found</h1>"), nullptr);
    EXPECT_EQ(parseCatalogue("{\"interfaces\": []}"), nullptr);
}

TEST(CatalogueParsing, NestingIsLimited)
{
    const auto atLimit = parseCatalogue("<r driverBaseUrl=\"" + base +
                                        "\"><e pid=\"0x10\" driver=\"A.zip\">" + nested(62) + "</e></r>");
    ASSERT_NE(atLimit, nullptr);
    EXPECT_EQ(findDriverUrlInCatalogue(atLimit.get(), 0x10).toString(true), base + "/A.zip");

    EXPECT_EQ(parseCatalogue("<r driverBaseUrl=\"" + base + "\">" + nested(64) + "</r>"), nullptr);
    // Deep enough to overflow the stack in JUCE's recursive parser.
    EXPECT_EQ(parseCatalogue("<r driverBaseUrl=\"" + base + "\">" + nested(200000) + "</r>"), nullptr);
}

TEST(CatalogueParsing, AttributesPerElementAreLimited)
{
    // Takes the number of extra attributes on the entry; gives back the lookup's result or "refused".
    const auto withExtraAttributes = [](int count)
    {
        juce::String extra;
        for (int i = 0; i < count; ++i)
            extra << " x" << i << "=\"" << i << "\"";
        const auto xml = parseCatalogue("<r driverBaseUrl=\"" + base + "\"><e pid=\"0x10\" driver=\"A.zip\"" +
                                        extra + "/></r>");
        return xml == nullptr ? juce::String("refused")
                              : findDriverUrlInCatalogue(xml.get(), 0x10).toString(true);
    };
    EXPECT_EQ(withExtraAttributes(254), base + "/A.zip");
    EXPECT_EQ(withExtraAttributes(255), "refused");
    EXPECT_EQ(withExtraAttributes(50000), "refused");
}

TEST(CatalogueParsing, InternalDtdSubsetIsRefused)
{
    // JUCE's entity expansion never finishes on this one.
    EXPECT_EQ(parseCatalogue("<!DOCTYPE r [ <!ENTITY a \"xxxxxxxxxx\"> <!ENTITY b \"&a;&a;&a;&a;&a;\"> ]>\n"
                             "<r driverBaseUrl=\"&b;\"/>"),
              nullptr);
}

TEST(CatalogueParsing, ProcessingInstructionOnlyBeforeTheRoot)
{
    for (const juce::String& text :
         {juce::String("<r><?x?>e</r>"),
          juce::String("<s><?"
                       "?>e"),
          "<r driverBaseUrl=\"" + base + "\"><e pid=\"0x10\" driver=\"A.zip\"/><?pi?></r>",
          "<r driverBaseUrl=\"" + base + "\"><e pid=\"0x10\" driver=\"A.zip\"/></r><?pi?>"})
    {
        SCOPED_TRACE(text);
        EXPECT_EQ(parseCatalogue(text), nullptr);
    }
    const auto xml = parseCatalogue("<?xml version=\"1.0\"?><?style x?><r driverBaseUrl=\"" + base +
                                    "\"><e pid=\"0x10\" driver=\"A.zip\"/></r>");
    ASSERT_NE(xml, nullptr);
    EXPECT_EQ(findDriverUrlInCatalogue(xml.get(), 0x10).toString(true), base + "/A.zip");
}

TEST(CatalogueParsing, MalformedUtf8IsRefused)
{
    // An overlong "<" is a "<" to some of the parser's reads: here it would hide a processing instruction.
    EXPECT_EQ(parseCatalogue(juce::String::fromUTF8("<r>\xC0\xBC?x?>e</r>")), nullptr);
    // A stray lead byte makes the parser skip the bytes after it, quote and ">" included.
    EXPECT_EQ(parseCatalogue(juce::String::fromUTF8("<r><a x=\"\xFC\"/><a x=\"\xFC\"/></r>")), nullptr);
    EXPECT_EQ(parseCatalogue(juce::String::fromUTF8("<r name=\"Caf\xE9\"/>")), nullptr);
    EXPECT_EQ(parseCatalogue(juce::String::fromUTF8("<r name=\"\xED\xA0\x80\"/>")), nullptr); // a surrogate

    const std::string utf8 =
        "<r driverBaseUrl=\"" + base.toStdString() +
        "\"><e name=\"Caf\xC3\xA9 \xF0\x9F\x8E\xB8\" pid=\"0x10\" driver=\"\xE2\x82\xAC.zip\"/></r>";
    const auto xml = parseCatalogue(juce::String::fromUTF8(utf8.c_str()));
    ASSERT_NE(xml, nullptr);
    EXPECT_EQ(findDriverUrlInCatalogue(xml.get(), 0x10).toString(true),
              base + "/" + juce::String::fromUTF8("\xE2\x82\xAC.zip"));
}

TEST(CatalogueParsing, IncompleteCharacterReferencesAreRefused)
{
    // JUCE's reader steps over whatever ends a bad hexadecimal reference, even the end of the text.
    for (const char* text :
         {"<2>&#x", "<r>&#x41</r>", "<r a=\"&#x;\"/>", "<r>&#x123456789;</r>", "<r>&#;</r>", "<r>&#12</r>",
          "<r a=\"&#xZ;\"/>", "<r a=\"&#X41;\"/>", "<r a=\"&#0;\"/>"})
    {
        SCOPED_TRACE(text);
        EXPECT_EQ(parseCatalogue(text), nullptr);
    }

    const auto xml = parseCatalogue("<r driverBaseUrl=\"" + base +
                                    "\"><e pid=\"0x10\" driver=\"&#x41;&#66;&#x0043;.zip\"/></r>");
    ASSERT_NE(xml, nullptr);
    EXPECT_EQ(findDriverUrlInCatalogue(xml.get(), 0x10).toString(true), base + "/ABC.zip");
}

TEST(CatalogueParsing, MarkupThatIsNeverClosedIsRefused)
{
    for (const char* text : {"<r><!-- open", "<r><![CDATA[ open", "<?xml version=\"1.0\"", "<r><a x=\"1\"",
                             "<r><a 'x><?x?>e</r>", "<r><a x=\"<b>\"/></r>", "<r></r", "<!DOCTYPE r"})
    {
        SCOPED_TRACE(text);
        EXPECT_EQ(parseCatalogue(text), nullptr);
    }
}

TEST(CatalogueParsing, EntitiesAreOnlyThePredefinedOnes)
{
    // Declarations, and so entity expansion, are refused; so are references to entities nothing declares.
    for (const char* text : {"<!DOCTYPE r [ <!ENTITY a \"x\"> ]><r/>", "<!DOCTYPE r []><r/>", "<r>&a;</r>",
                             "<r a=\"&a;\"/>", "<r a=\"&AMP;\"/>", "<!DOCTYPE r SYSTEM \"r.dtd\"><r>&a;</r>"})
    {
        SCOPED_TRACE(text);
        EXPECT_EQ(parseCatalogue(text), nullptr);
    }

    // An external DTD is never read, so a name it might declare has no value: expat drops such a reference
    // from an attribute without a word, and the value would lose part of itself.
    for (const char* text : {"<!DOCTYPE r SYSTEM \"r.dtd\"><r a=\"x&s;y\"/>",
                             "<!DOCTYPE r PUBLIC \"-//T//r\" \"r.dtd\"><r><e driver=\"&s;A.zip\"/></r>",
                             "<!DOCTYPE r SYSTEM \"r.dtd\"><r><e a=\"&amp;\" b=\"&AMP;\"/></r>"})
    {
        SCOPED_TRACE(text);
        juce::String why;
        EXPECT_EQ(parseCatalogue(text, &why), nullptr);
        EXPECT_TRUE(why.startsWith("a reference to an undeclared entity in an attribute value")) << why;
    }

    // A document type without a subset is fine, external or not (the external one is never read).
    for (const char* doctype : {"<!DOCTYPE interfaces>", "<!DOCTYPE interfaces SYSTEM \"interfaces.dtd\">"})
    {
        SCOPED_TRACE(doctype);
        const auto xml =
            parseCatalogue(juce::String(doctype) + "<interfaces driverBaseUrl=\"" + base +
                           "\"><e pid=\"0x10\" driver=\"A&amp;B&apos;&quot;&lt;&gt;.zip\"/></interfaces>");
        ASSERT_NE(xml, nullptr);
        EXPECT_EQ(findDriverUrlInCatalogue(xml.get(), 0x10).toString(true), base + "/A&B'\"<>.zip");
    }
}

TEST(CatalogueParsing, OnlyWellFormedDocumentsParse)
{
    // Each of these once went to the framework's parser, which took some of them.
    for (const char* text :
         {"<r a=\"1\" a=\"2\"/>", "<r/><r/>", "<r>&</r>", "<r a=1/>", "<r></s>", "<r a=\"<\"/>"})
    {
        SCOPED_TRACE(text);
        EXPECT_EQ(parseCatalogue(text), nullptr);
    }
}

TEST(CatalogueParsing, EntriesKeepTheirOrderAndTheirAttributesOrder)
{
    const auto catalogue =
        parseCatalogue("<r b=\"2\" a=\"1\">text<x z=\"\" y=\"y\"><deep q=\"1\"/></x><!-- c -->"
                       "<y/><![CDATA[<z/>]]><x/></r>");
    ASSERT_NE(catalogue, nullptr);
    EXPECT_EQ(catalogue->root.name, "r");
    ASSERT_EQ(catalogue->root.attributes.size(), 2u);
    EXPECT_EQ(catalogue->root.attributes[0].first + catalogue->root.attributes[0].second +
                  catalogue->root.attributes[1].first + catalogue->root.attributes[1].second,
              "b2a1");

    // The root's children are the entries; what lies deeper is not one.
    juce::StringArray entries;
    for (const auto& entry : catalogue->entries)
        entries.add(entry.name + ":" + juce::String((int)entry.attributes.size()));
    EXPECT_EQ(entries.joinIntoString(" "), "x:2 y:0 x:0");
    EXPECT_EQ(catalogue->entries[0].attributes[0].first, "z");
    ASSERT_NE(findAttribute(catalogue->entries[0], "y"), nullptr);
    EXPECT_EQ(*findAttribute(catalogue->entries[0], "y"), "y");
    EXPECT_EQ(findAttribute(catalogue->entries[0], "Y"), nullptr);
}

TEST(CatalogueDecoding, FetchedBytesInEachEncodingTheServerMayUse)
{
    const std::string document =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<interfaces driverBaseUrl=\"" + base.toStdString() +
        "\">\r\n  <interface name=\"Corvel\xC2\xAE 2\" pid=\"0xaa0b\" "
        "driver=\"Tarnwell_Corvel2_4.3.0.118.zip\"/>\r\n</interfaces>\r\n";
    const juce::String expected = base + "/Tarnwell_Corvel2_4.3.0.118.zip";

    EXPECT_EQ(lookUpFetched(document, 0xaa0b), expected);
    EXPECT_EQ(lookUpFetched("\xEF\xBB\xBF" + document, 0xaa0b), expected);
    EXPECT_EQ(lookUpFetched("\r\n \t\n" + document, 0xaa0b), expected); // white space before the declaration

    for (const bool bigEndian : {false, true})
    {
        SCOPED_TRACE(bigEndian ? "UTF-16 big-endian" : "UTF-16 little-endian");
        // The declaration names UTF-16; the text is decoded already, so that is not applied again.
        const auto bytes =
            utf16WithMark(juce::String(document).replace("UTF-8", "UTF-16").toStdString(), bigEndian);
        const std::string asText(bytes.begin(), bytes.end());
        EXPECT_EQ(lookUpFetched(asText, 0xaa0b), expected);
        const auto xml = parseCatalogue(decodeCatalogueText(bytes.data(), bytes.size()));
        ASSERT_NE(xml, nullptr);
        EXPECT_EQ(attributeOfFirstEntry(*xml, "name"), juce::String::fromUTF8("Corvel\xC2\xAE 2"));
    }

    // Not UTF-8 (a lone 0xAE): read as Windows-1252, whatever the declaration says.
    std::string windows1252 = juce::String(document).replace("UTF-8", "windows-1252").toStdString();
    windows1252.replace(windows1252.find("\xC2\xAE"), 2, "\xAE");
    EXPECT_EQ(lookUpFetched(windows1252, 0xaa0b), expected);
    const auto xml = parseCatalogue(decodeCatalogueText(windows1252.data(), windows1252.size()));
    ASSERT_NE(xml, nullptr);
    EXPECT_EQ(attributeOfFirstEntry(*xml, "name"), juce::String::fromUTF8("Corvel\xC2\xAE 2"));
}

TEST(CatalogueDecoding, DecodesAsTheFrameworkReadsAFetchedStream)
{
    for (const std::string& bytes :
         {std::string(), std::string("<"), std::string("\xEF\xBB\xBF<r/>"),
          std::string("\xFF\xFE<\0r\0/\0>\0", 10), std::string("a\x80\x9F\xFF"), std::string("caf\xC3\xA9")})
    {
        SCOPED_TRACE(juce::String::toHexString(bytes.data(), static_cast<int>(bytes.size())));
        juce::MemoryInputStream stream(bytes.data(), bytes.size(), false);
        EXPECT_EQ(decodeCatalogueText(bytes.data(), bytes.size()), stream.readEntireStreamAsString());
    }
}

// The bytes the fuzzer once found making the framework's parser read past the end of its text (a stray "&"
// before a tag among Windows-1252 bytes), as in tests/fuzz/regressions/catalogue_fuzzer/; under the
// sanitize preset this shows that nothing reads out of bounds.
TEST(CatalogueParsing, StrayAmpersandBeforeATagIsRefused)
{
    const std::string finding =
        "<list driverBaseUrl=\"https://download.tarnwell.com/firmware/unitpanel/drivers\">\n"
        "  &<interface name=\"Corvel\x1F\xFF\xFF\xFF\xFF\xFF\xFF\xF7 2\" pid=\"0xaa0b\" driver=\"Tar"
        "nwell_Corvel2_4.3.0.118.zip\" file=\"https://download.tarnwell.com/firmware/unitpanel/firmw"
        "are\x99"
        "corvel_2_2.1.bin\"/>\n"
        "  <interface verBaseUrl=\"https://h.example/d\">\x80!--\xA1\xA1\xA1\xA1\xA1\xA1\xA1"
        "aces driverBaseUrl=']https://x/y&#x2F;z'><interface pid='&#x30;xaa0b' driver='&lt;&gt;'/></"
        "\xA1\xA1\xA9\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xFF\xFF\xFF\xFF\xFF"
        "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1"
        "\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1"
        "\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1\xA1"
        "\xA1\xA1\xA1\xA1\xA1\xA1\xA1 entr\x01\x01y --><model pid=\"cfb6\" driver=\"a.zip?x=1#f\"/>\xC4"
        "\xDE\xA4\xBC\xBB\xBE\xAB\xBB[<inter\xCE"
        "face pid=\"0\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFFx5d14\"/>]]>text<model pid=\"25\" driver=\"\"/>"
        "</list>";
    ASSERT_EQ(finding.size(), 638u);
    EXPECT_EQ(lookUpFetched(finding, 0xaa0b), "refused");
}

TEST(CatalogueParsing, LargeFlatCatalogue)
{
    std::string entries;
    for (int i = 1; i <= 20000; ++i)
        entries += entry(juce::String::toHexString(i), "Tarnwell_" + juce::String(i) + ".zip").toStdString();
    const auto xml =
        parseCatalogue("<interfaces driverBaseUrl=\"" + base + "\">" + entries + "</interfaces>");
    ASSERT_NE(xml, nullptr);
    EXPECT_EQ(findDriverUrlInCatalogue(xml.get(), 20000).toString(true), base + "/Tarnwell_20000.zip");
}
