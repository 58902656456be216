#include "devices/SupportedModels.h"
#include "tests/support/cpp/TestHelpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <numeric>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>

namespace
{
bool onlyCharacters(const char* text, const char* allowedExtra, bool upperAllowed)
{
    if (*text == 0)
        return false;
    for (const char* c = text; *c != 0; ++c)
    {
        const bool ok = (*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9') ||
                        (upperAllowed && *c >= 'A' && *c <= 'Z') || std::strchr(allowedExtra, *c) != nullptr;
        if (!ok)
            return false;
    }
    return true;
}

std::vector<int> slotsInTableOrder()
{
    std::vector<int> slots;
    for (const SupportedModel& model : supportedModels())
        slots.push_back(modelSlotForProductId(model.productId));
    return slots;
}
} // namespace

TEST(SupportedModels, TableHoldsFiftyOneWellFormedRowsOfOneVendor)
{
    const auto& table = supportedModels();
    ASSERT_EQ(table.size(), 51u);
    ASSERT_EQ(supportedModelCount, 51);

    std::set<int> productIds;
    int belowFourDigits = 0;
    int topBitSet = 0;
    for (const SupportedModel& model : table)
    {
        EXPECT_EQ(model.vendorId, tarnwellVendorId) << model.keyName;
        EXPECT_NE(model.productId, 0) << model.keyName;
        EXPECT_TRUE(onlyCharacters(model.displayName, " ", true)) << model.displayName;
        EXPECT_TRUE(onlyCharacters(model.keyName, "_", false)) << model.keyName;
        productIds.insert(model.productId);
        belowFourDigits += model.productId < 0x1000 ? 1 : 0;
        topBitSet += model.productId >= 0x8000 ? 1 : 0;
    }
    EXPECT_EQ(productIds.size(), 51u) << "product ids must be distinct";
    // The scan must keep leading zeros and zero-extend: the table has ids that exercise both.
    EXPECT_GE(belowFourDigits, 2);
    EXPECT_GE(topBitSet, 2);
}

TEST(SupportedModels, LaterCallsGiveTheSameRowsWithoutAppending)
{
    const auto& first = supportedModels();
    const std::vector<SupportedModel> snapshot = first;
    for (int call = 0; call < 3; ++call)
    {
        const auto& again = supportedModels();
        EXPECT_EQ(&again, &first);
        ASSERT_EQ(again.size(), 51u);
        for (std::size_t i = 0; i < snapshot.size(); ++i)
        {
            EXPECT_STREQ(again[i].displayName, snapshot[i].displayName);
            EXPECT_STREQ(again[i].keyName, snapshot[i].keyName);
            EXPECT_EQ(again[i].vendorId, snapshot[i].vendorId);
            EXPECT_EQ(again[i].productId, snapshot[i].productId);
        }
    }
}

TEST(SlotMapping, EveryRowAndEverySlotRoundTripsSilently)
{
    const ClogCapture log;
    for (const SupportedModel& model : supportedModels())
    {
        const int slot = modelSlotForProductId(model.productId);
        EXPECT_GE(slot, 0) << model.keyName;
        EXPECT_LE(slot, 50) << model.keyName;
        EXPECT_EQ(productIdForModelSlot(slot), model.productId) << model.keyName;
    }
    for (int slot = 0; slot <= 50; ++slot)
    {
        const int productId = productIdForModelSlot(slot);
        EXPECT_NE(productId, 0) << slot;
        EXPECT_EQ(modelSlotForProductId(productId), slot);
    }
    EXPECT_EQ(log.text(), "");
}

TEST(SlotMapping, SlotsArePermutationInAnOrderOfTheirOwn)
{
    const std::vector<int> byRow = slotsInTableOrder();
    std::vector<int> sorted = byRow;
    std::sort(sorted.begin(), sorted.end());
    std::vector<int> allSlots(51);
    std::iota(allSlots.begin(), allSlots.end(), 0);
    ASSERT_EQ(sorted, allSlots) << "every slot 0..50 exactly once";

    std::vector<int> reversed(allSlots.rbegin(), allSlots.rend());
    EXPECT_NE(byRow, allSlots) << "slots must not be row positions";
    EXPECT_NE(byRow, reversed);

    std::vector<std::pair<int, int>> byProductId;
    for (const SupportedModel& model : supportedModels())
        byProductId.push_back({model.productId, modelSlotForProductId(model.productId)});
    std::sort(byProductId.begin(), byProductId.end());
    std::vector<int> slotsByProductId;
    for (const auto& pair : byProductId)
        slotsByProductId.push_back(pair.second);
    EXPECT_NE(slotsByProductId, allSlots) << "slots must not be ranks of the product ids";
    EXPECT_NE(slotsByProductId, reversed);
}

TEST(SlotMapping, SlotsOutsideTheRangeGiveZeroSilently)
{
    const ClogCapture log;
    for (const int slot : {51, -1, 52, 1000, INT_MAX, INT_MIN})
        EXPECT_EQ(productIdForModelSlot(slot), 0) << slot;
    EXPECT_EQ(log.text(), "");
}

TEST(SlotMapping, UnknownProductIdsWriteOneLowerCaseHexLine)
{
    const int listedLowId = 0x003c;
    ASSERT_GE(modelSlotForProductId(listedLowId), 0) << "the table is expected to list 0x003c";

    const struct
    {
        int productId;
        const char* line;
    } cases[] = {
        {0, "hex: 0000\n"},
        {0x7, "hex: 0007\n"},
        {0xfab, "hex: 0fab\n"},
        {0xBEEF, "hex: beef\n"},
        {0x12e7a, "hex: 12e7a\n"},
        // A listed id with bits above the 16 is another id, not the listed one.
        {0x10000 + listedLowId, "hex: 1003c\n"},
    };
    for (const auto& unknown : cases)
    {
        const ClogCapture log;
        EXPECT_EQ(modelSlotForProductId(unknown.productId), -1) << unknown.line;
        EXPECT_EQ(log.text(), unknown.line);
    }
}

TEST(SlotMapping, HexLineIsFlushedAndLeavesTheLogFormatAlone)
{
    char path[] = "/tmp/strell-clog-XXXXXX";
    const int descriptor = mkstemp(path);
    ASSERT_GE(descriptor, 0);
    close(descriptor);

    std::filebuf file;
    ASSERT_NE(file.open(path, std::ios::out | std::ios::trunc), nullptr);
    std::streambuf* const previous = std::clog.rdbuf(&file);
    const auto flagsBefore = std::clog.flags();
    const char fillBefore = std::clog.fill();

    const int slot = modelSlotForProductId(0);

    // Read back while the file buffer is still open: only a flushed line has reached the file.
    std::ifstream written(path);
    const std::string contents((std::istreambuf_iterator<char>(written)), std::istreambuf_iterator<char>());
    const auto flagsAfter = std::clog.flags();
    const char fillAfter = std::clog.fill();
    std::clog.rdbuf(previous);
    file.close();
    std::remove(path);

    EXPECT_EQ(slot, -1);
    EXPECT_EQ(contents, "hex: 0000\n");
    EXPECT_EQ(flagsAfter, flagsBefore);
    EXPECT_EQ(fillAfter, fillBefore);
}
