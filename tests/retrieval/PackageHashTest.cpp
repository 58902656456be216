// What a catalogue entry's sha256 attribute hands the download: the text accepted as a hash, and the
// lookup's record beside the unchanged address.

#include "retrieval/PackageHash.h"
#include "retrieval/DriverCatalogue.h"

#include <gtest/gtest.h>

namespace
{
const juce::String hashText = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

DriverLookup lookUp(const juce::String& rootAttributes, const juce::String& entries, int productId)
{
    const auto xml = parseCatalogue("<interfaces " + rootAttributes + ">" + entries + "</interfaces>");
    EXPECT_NE(xml, nullptr);
    return lookUpDriverInCatalogue(xml.get(), productId);
}

const juce::String base = "driverBaseUrl=\"https://dl.example.test/drivers\"";
} // namespace

TEST(PackageHash, OnlySixtyFourHexadecimalDigitsAreAHash)
{
    EXPECT_TRUE(isSha256Text(hashText));
    EXPECT_TRUE(isSha256Text(hashText.toUpperCase()));
    EXPECT_TRUE(isSha256Text(hashText.substring(0, 32) + hashText.substring(32).toUpperCase()));
    for (const juce::String& bad :
         {juce::String(), hashText.substring(1), hashText + "0", hashText.replace("9f", "9g"),
          " " + hashText.substring(1), hashText.substring(1) + "\n", "0x" + hashText.substring(2)})
        EXPECT_FALSE(isSha256Text(bad)) << bad;
}

TEST(PackageHash, LookupCarriesTheEntrysHashBesideTheSameAddress)
{
    const juce::String entries =
        "<i pid=\"0x10\" driver=\"A.zip\"/><i pid=\"0x20\" driver=\"B.zip\" sha256=\"" +
        hashText.toUpperCase() + "\"/><i pid=\"0x20\" driver=\"C.zip\" sha256=\"x\"/>";
    const DriverLookup withHash = lookUp(base, entries, 0x20);
    EXPECT_EQ(withHash.outcome, LookupOutcome::found);
    EXPECT_EQ(withHash.address.toString(true), "https://dl.example.test/drivers/B.zip");
    EXPECT_TRUE(withHash.hasSha256);
    EXPECT_EQ(withHash.sha256, hashText.toUpperCase());

    const DriverLookup without = lookUp(base, entries, 0x10);
    EXPECT_EQ(without.outcome, LookupOutcome::found);
    EXPECT_FALSE(without.hasSha256);
    EXPECT_TRUE(without.sha256.isEmpty());
}

TEST(PackageHash, MalformedHashIsReportedAndTheAddressStaysAsBefore)
{
    for (const juce::String& bad : {juce::String(), hashText.substring(2), hashText.replace("a", "z")})
    {
        const juce::String entries = "<i pid=\"0x20\" driver=\"B.zip\" sha256=\"" + bad + "\"/>";
        const DriverLookup lookup = lookUp(base, entries, 0x20);
        EXPECT_EQ(lookup.outcome, LookupOutcome::malformedSha256) << bad;
        EXPECT_TRUE(lookup.hasSha256) << bad;
        const auto xml = parseCatalogue("<interfaces " + base + ">" + entries + "</interfaces>");
        EXPECT_EQ(findDriverUrlInCatalogue(xml.get(), 0x20).toString(true),
                  "https://dl.example.test/drivers/B.zip");
    }
}

TEST(PackageHash, LookupTellsWhyThereIsNoAddress)
{
    EXPECT_EQ(lookUpDriverInCatalogue(nullptr, 0x20).outcome, LookupOutcome::noDocument);
    const char unsafe[] = "<!DOCTYPE a [<!ENTITY x \"y\">]><a/>";
    EXPECT_EQ(parseFetchedCatalogue(juce::MemoryBlock(unsafe, sizeof unsafe - 1)), nullptr);
    const char safe[] = "<a driverBaseUrl=\"https://h/d\"><i pid=\"0x20\" driver=\"A.zip\"/></a>";
    EXPECT_NE(parseFetchedCatalogue(juce::MemoryBlock(safe, sizeof safe - 1)), nullptr);
    EXPECT_EQ(lookUp(base, "<i pid=\"0x10\" driver=\"A.zip\"/>", 0x20).outcome, LookupOutcome::noEntry);
    EXPECT_EQ(lookUp(base, "<i pid=\"0x10\" driver=\"A.zip\"/>", 0).outcome, LookupOutcome::noEntry);
    const DriverLookup refused = lookUp("driverBaseUrl=\"http://dl.example.test/drivers\"",
                                        "<i pid=\"0x20\" driver=\"A.zip\"/>", 0x20);
    EXPECT_EQ(refused.outcome, LookupOutcome::addressRefused);
    EXPECT_FALSE(refused.address.isWellFormed());
    // Another model's entry with a refused address does not make an unlisted one read as refused.
    EXPECT_EQ(lookUp("driverBaseUrl=\"ftp://x\"", "<i pid=\"0x10\" driver=\"A.zip\"/>", 0x20).outcome,
              LookupOutcome::noEntry);
}
