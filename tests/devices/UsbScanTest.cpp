#include "devices/UsbScan.h"
#include "devices/SupportedModels.h"
#include "tests/fakes/FakeUsbInstanceIds.h"
#include "tests/support/cpp/TestHelpers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>

// Lets failures print the ids.
static void PrintTo(const UsbDeviceId& id, std::ostream* out)
{
    char text[32];
    std::snprintf(text, sizeof text, "{0x%04x, 0x%04x}", static_cast<unsigned>(id.vendorId),
                  static_cast<unsigned>(id.productId));
    *out << text;
}

namespace
{
constexpr UsbDeviceId modelA{0x2E7A, 0x0A5E};
constexpr UsbDeviceId modelB{0x2E7A, 0xC7DE};
constexpr UsbDeviceId otherMaker{0x1D6B, 0x0A5E};

using Ids = std::vector<UsbDeviceId>;
} // namespace

TEST(UsbMatchPattern, PadsEachIdToFourUpperCaseDigits)
{
    EXPECT_EQ(usbMatchPattern({0x0A0B, 0xC}), "USB\\VID_0A0B&PID_000C");
    EXPECT_EQ(usbMatchPattern({0x0A0B, 0xC}).size(), 21u);
    EXPECT_EQ(usbMatchPattern({0, 0}), "USB\\VID_0000&PID_0000");
    EXPECT_EQ(usbMatchPattern({0xabcd, 0xef01}), "USB\\VID_ABCD&PID_EF01");
    EXPECT_EQ(usbMatchPattern({0xFFFF, 0x00F0}), "USB\\VID_FFFF&PID_00F0");
}

TEST(MatchInstanceIds, NothingToMatchGivesNothing)
{
    const Ids candidates{modelA, modelB};
    EXPECT_TRUE(matchInstanceIds(candidates, {}).empty());
    EXPECT_TRUE(matchInstanceIds({}, {instanceIdOf(modelA, "\\1")}).empty());
    EXPECT_TRUE(matchInstanceIds(candidates, {"", "USB\\ROOT_HUB30\\4&2D6F3B1A&0&0",
                                              "HID\\VID_2E7A&PID_0A5E&MI_00\\8&1F2E&0&0000"})
                    .empty());
}

TEST(MatchInstanceIds, EveryMatchCountsInEnumerationOrder)
{
    const Ids candidates{modelA, modelB};
    const std::vector<std::string> ids{instanceIdOf(modelB, "\\SN0001"), "USB\\ROOT_HUB30\\4&1",
                                       instanceIdOf(modelA, "\\5&3A1C&0&2"),
                                       instanceIdOf(modelB, "\\SN0002")};
    EXPECT_EQ(matchInstanceIds(candidates, ids), (Ids{modelB, modelA, modelB}));
}

TEST(MatchInstanceIds, OneIdWithTwoPatternsGivesCandidateOrder)
{
    // B's pattern comes first in the text, A first among the candidates.
    const std::string both = instanceIdOf(modelB, "\\") + instanceIdOf(modelA, "");
    EXPECT_EQ(matchInstanceIds({modelA, modelB}, {both}), (Ids{modelA, modelB}));
    EXPECT_EQ(matchInstanceIds({modelB, modelA}, {both}), (Ids{modelB, modelA}));
}

TEST(MatchInstanceIds, PatternMayStandAnywhereInTheId)
{
    for (const std::string& id : {instanceIdOf(modelA, ""), instanceIdOf(modelA, "&MI_00\\7&2B3C&0&0000"),
                                  instanceIdOf(modelA, "\\A1B2C3"), "SWD\\" + instanceIdOf(modelA, "\\1"),
                                  "XXUSB\\VID_" + instanceIdOf(modelA, "")})
        EXPECT_EQ(matchInstanceIds({modelA, modelB}, {id}), (Ids{modelA})) << id;
}

TEST(MatchInstanceIds, CharactersMustMatchExactly)
{
    for (const std::string& id :
         {std::string("USB\\VID_2e7a&PID_0a5e\\1"), std::string("USB\\VID_2E7A&PID_0a5e"),
          std::string("usb\\vid_2E7A&pid_0A5E\\1"), std::string("USB\\VID_2E7A&PID_0A5"),
          std::string("USB\\VID_2E7A PID_0A5E"), instanceIdOf(otherMaker, "\\1")})
        EXPECT_TRUE(matchInstanceIds({modelA, modelB}, {id}).empty()) << id;
}

TEST(MatchInstanceIds, LeadingZerosAreKept)
{
    const UsbDeviceId small{0x2E7A, 0xC};
    EXPECT_TRUE(matchInstanceIds({small}, {"USB\\VID_2E7A&PID_C\\1", "USB\\VID_2E7A&PID_00C\\1"}).empty());
    EXPECT_EQ(matchInstanceIds({small}, {"USB\\VID_2E7A&PID_000C\\1"}), (Ids{small}));
}

TEST(AppendMatchingCandidates, AddsToWhatWasFoundBefore)
{
    Ids found{otherMaker};
    appendMatchingCandidates({modelA, modelB}, instanceIdOf(modelB, "\\1"), found);
    appendMatchingCandidates({modelA, modelB}, "", found);
    EXPECT_EQ(found, (Ids{otherMaker, modelB}));
}

class PresenceScan : public ::testing::Test
{
protected:
    void SetUp() override { fakeUsbInstanceIds.clear(); }
    void TearDown() override { fakeUsbInstanceIds.clear(); }
};

TEST_F(PresenceScan, MatchesWhatThePlatformEnumeratesInOnePass)
{
    fakeUsbInstanceIds = {instanceIdOf(modelA, "\\1"), "", instanceIdOf(modelB, "&MI_02\\1"),
                          instanceIdOf(modelA, "\\2")};
    const int scansBefore = fakeUsbScanCount;
    EXPECT_EQ(scanPresentUsbDevices({modelA, modelB}), (Ids{modelA, modelB, modelA}));
    EXPECT_EQ(fakeUsbScanCount, scansBefore + 1);
}

TEST_F(PresenceScan, FindsEverySupportedModelByItsFullProductId)
{
    for (const SupportedModel& model : supportedModels())
    {
        const UsbDeviceId expected{tarnwellVendorId, model.productId};
        fakeUsbInstanceIds = {"USB\\ROOT_HUB30\\4&2D6F3B1A&0&0", instanceIdOf(expected, "\\SN42"),
                              instanceIdOf({0x1D6B, model.productId}, "\\1")};
        EXPECT_EQ(findPresentSupportedDevices(), (Ids{expected})) << model.keyName;
    }
}

TEST_F(PresenceScan, FindsNothingWhenNoSupportedModelIsPresent)
{
    const int scansBefore = fakeUsbScanCount;
    EXPECT_TRUE(findPresentSupportedDevices().empty());
    fakeUsbInstanceIds = {"USB\\ROOT_HUB30\\4&1", "USB\\VID_046D&PID_C52B\\5&1", ""};
    EXPECT_TRUE(findPresentSupportedDevices().empty());
    EXPECT_EQ(fakeUsbScanCount, scansBefore + 2);
}

TEST_F(PresenceScan, CandidatesFollowTableOrder)
{
    const auto& table = supportedModels();
    const UsbDeviceId early{table[3].vendorId, table[3].productId};
    const UsbDeviceId late{table[40].vendorId, table[40].productId};
    fakeUsbInstanceIds = {instanceIdOf(late, "\\") + instanceIdOf(early, "")};
    EXPECT_EQ(findPresentSupportedDevices(), (Ids{early, late}));
}
