#include "retrieval/HttpsFetch.h"

#include <gtest/gtest.h>

namespace
{
const juce::String base = "https://download.example:8443/firmware/drivers/Tarnwell_Unit_1.0.0.1.zip?x=1";

juce::String resolved(const char* location)
{
    return resolveRedirectLocation(base, location);
}
} // namespace

TEST(RedirectLocation, AbsoluteAndSchemeRelativeLocationsNameTheirOwnHost)
{
    EXPECT_EQ(resolved("https://mirror.example/p/a.zip"), "https://mirror.example/p/a.zip");
    EXPECT_EQ(resolved("  HTTPS://Mirror.example/a.zip  "), "HTTPS://Mirror.example/a.zip");
    EXPECT_EQ(resolved("//mirror.example:9443/a.zip"), "https://mirror.example:9443/a.zip");
    // Other schemes are resolved as they are, so that the fetch can refuse them by name.
    EXPECT_EQ(resolved("http://mirror.example/a.zip"), "http://mirror.example/a.zip");
    EXPECT_EQ(resolved("ftp://mirror.example/a.zip"), "ftp://mirror.example/a.zip");
}

TEST(RedirectLocation, RelativeLocationsResolveAgainstTheRequest)
{
    EXPECT_EQ(resolved("/moved/a.zip"), "https://download.example:8443/moved/a.zip");
    EXPECT_EQ(resolved("b.zip"), "https://download.example:8443/firmware/drivers/b.zip");
    EXPECT_EQ(resolved("../old/b.zip?y=2"), "https://download.example:8443/firmware/old/b.zip?y=2");
    EXPECT_EQ(resolved("./b.zip"), "https://download.example:8443/firmware/drivers/b.zip");
    EXPECT_EQ(resolved("../../../../b.zip"), "https://download.example:8443/b.zip");
    EXPECT_EQ(resolved("/a/./b/../c.zip"), "https://download.example:8443/a/c.zip");
    EXPECT_EQ(resolved("?y=2"),
              "https://download.example:8443/firmware/drivers/Tarnwell_Unit_1.0.0.1.zip?y=2");
    EXPECT_EQ(resolveRedirectLocation("https://host.example", "a.zip"), "https://host.example/a.zip");
}

TEST(RedirectLocation, FragmentsAreDroppedAndGarbageIsNotFollowed)
{
    EXPECT_EQ(resolved("/a.zip#part"), "https://download.example:8443/a.zip");
    EXPECT_EQ(resolved("#part"),
              "https://download.example:8443/firmware/drivers/Tarnwell_Unit_1.0.0.1.zip?x=1");
    EXPECT_EQ(resolved(""), "");
    EXPECT_EQ(resolved("   "), "");
    EXPECT_EQ(resolved("/a b.zip"), "");
    EXPECT_EQ(resolved("/a.zip\r\nSet-Cookie: x"), "");
    EXPECT_EQ(resolveRedirectLocation("not an address", "/a.zip"), "");
}

TEST(RedirectLocation, OnlyAbsoluteHttpsAddressesAreFetched)
{
    EXPECT_TRUE(isHttpsUrl("https://host.example/a.zip"));
    EXPECT_TRUE(isHttpsUrl("HtTpS://host.example"));
    EXPECT_FALSE(isHttpsUrl("http://host.example/a.zip"));
    EXPECT_FALSE(isHttpsUrl("ftp://host.example/a.zip"));
    EXPECT_FALSE(isHttpsUrl("https:/host.example"));
    EXPECT_FALSE(isHttpsUrl("https://"));
    EXPECT_FALSE(isHttpsUrl("httpsx://host.example"));
    EXPECT_FALSE(isHttpsUrl("/relative/a.zip"));
}
