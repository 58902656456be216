#include "devices/SupportedModels.h"

#include <algorithm>
#include <array>
#include <iomanip>
#include <iostream>
#include <sstream>

namespace
{
struct ModelRow
{
    const char* displayName;
    const char* keyName;
    std::uint16_t productId;
};

// The supported models in table order (grouped by product family, not by product id).
constexpr std::array<ModelRow, supportedModelCount> modelRows{{
    {"Corvel 2", "corvel_2", 0xaa0b},
    {"Corvel 4", "corvel_4", 0xcfb6},
    {"Corvel 6 Pro", "corvel_6_pro", 0x5d14},
    {"Corvel 8 Studio", "corvel_8_studio", 0x666b},
    {"Halden Mini", "halden_mini", 0xe178},
    {"Halden One", "halden_one", 0x258d},
    {"Halden Two", "halden_two", 0xbd91},
    {"Halden Four", "halden_four", 0x4b4a},
    {"Halden Eight", "halden_eight", 0x3e82},
    {"Mirra Solo", "mirra_solo", 0x6d96},
    {"Mirra Duo", "mirra_duo", 0xe330},
    {"Mirra Quad", "mirra_quad", 0x1463},
    {"Mirra Octo", "mirra_octo", 0x5de4},
    {"Ostra 1", "ostra_1", 0xed4e},
    {"Ostra 2", "ostra_2", 0x5cc3},
    {"Ostra 2 Mk2", "ostra_2_mk2", 0xd55a},
    {"Ostra 4", "ostra_4", 0x7834},
    {"Ostra 4 Mk2", "ostra_4_mk2", 0x768d},
    {"Ostra 10", "ostra_10", 0xd1d7},
    {"Pellin Go", "pellin_go", 0xbed0},
    {"Pellin Live", "pellin_live", 0x2fcf},
    {"Pellin Desk", "pellin_desk", 0xc7de},
    {"Pellin Rack", "pellin_rack", 0xbf5d},
    {"Quillon S", "quillon_s", 0xf6ba},
    {"Quillon M", "quillon_m", 0x8658},
    {"Quillon L", "quillon_l", 0xa823},
    {"Quillon XL", "quillon_xl", 0x4c23},
    {"Vessa Lite", "vessa_lite", 0x43f5},
    {"Vessa Core", "vessa_core", 0x003c},
    {"Vessa Max", "vessa_max", 0x17f0},
    {"Brannock 12", "brannock_12", 0x63a2},
    {"Brannock 16", "brannock_16", 0x0104},
    {"Brannock 24", "brannock_24", 0x0a5e},
    {"Brannock 32", "brannock_32", 0xed70},
    {"Tessel Pocket", "tessel_pocket", 0x45c9},
    {"Tessel Home", "tessel_home", 0xab9b},
    {"Tessel Stage", "tessel_stage", 0x10d9},
    {"Tessel Tour", "tessel_tour", 0xe1a6},
    {"Tessel Club", "tessel_club", 0x5ca8},
    {"Wyrtle A", "wyrtle_a", 0x5243},
    {"Wyrtle B", "wyrtle_b", 0xaf2e},
    {"Wyrtle C", "wyrtle_c", 0xc375},
    {"Eldor Mic", "eldor_mic", 0x6bae},
    {"Eldor Line", "eldor_line", 0x365b},
    {"Eldor Hub", "eldor_hub", 0xdf0c},
    {"Eldor Dock", "eldor_dock", 0x0f71},
    {"Saffin 3", "saffin_3", 0x65ac},
    {"Saffin 5", "saffin_5", 0x1cc8},
    {"Saffin 7", "saffin_7", 0x7a42},
    {"Saffin 9", "saffin_9", 0x6e6a},
    {"Saffin 11", "saffin_11", 0x2ff1},
}};

struct SlotPair
{
    int productId;
    int slot;
};

// The fixed slot of every model, sorted by product id for the lookup. The slots keep an order of their
// own: they are neither row positions nor ranks of the product ids.
constexpr std::array<SlotPair, supportedModelCount> slotMapping{{
    {0x003c, 12}, {0x0104, 22}, {0x0a5e, 20}, {0x0f71, 44}, {0x10d9, 39}, {0x1463, 18}, {0x17f0, 30},
    {0x1cc8, 46}, {0x258d, 38}, {0x2fcf, 13}, {0x2ff1, 23}, {0x365b, 35}, {0x3e82, 6},  {0x43f5, 1},
    {0x45c9, 5},  {0x4b4a, 37}, {0x4c23, 45}, {0x5243, 40}, {0x5ca8, 0},  {0x5cc3, 11}, {0x5d14, 17},
    {0x5de4, 28}, {0x63a2, 14}, {0x65ac, 27}, {0x666b, 32}, {0x6bae, 9},  {0x6d96, 31}, {0x6e6a, 49},
    {0x768d, 25}, {0x7834, 47}, {0x7a42, 33}, {0x8658, 7},  {0xa823, 42}, {0xaa0b, 41}, {0xab9b, 8},
    {0xaf2e, 16}, {0xbd91, 3},  {0xbed0, 50}, {0xbf5d, 48}, {0xc375, 4},  {0xc7de, 19}, {0xcfb6, 43},
    {0xd1d7, 21}, {0xd55a, 36}, {0xdf0c, 2},  {0xe178, 26}, {0xe1a6, 29}, {0xe330, 10}, {0xed4e, 24},
    {0xed70, 15}, {0xf6ba, 34},
}};

constexpr bool productIdsAscend()
{
    for (std::size_t i = 1; i < slotMapping.size(); ++i)
        if (slotMapping[i - 1].productId >= slotMapping[i].productId)
            return false;
    return slotMapping[0].productId > 0 && slotMapping[slotMapping.size() - 1].productId <= 0xFFFF;
}

constexpr std::array<int, supportedModelCount> productIdsBySlot()
{
    std::array<int, supportedModelCount> productIds{};
    for (const SlotPair& pair : slotMapping)
        productIds[static_cast<std::size_t>(pair.slot)] = pair.productId;
    return productIds;
}

constexpr bool slotsArePermutation()
{
    std::array<bool, supportedModelCount> seen{};
    for (const SlotPair& pair : slotMapping)
    {
        if (pair.slot < 0 || pair.slot >= supportedModelCount || seen[static_cast<std::size_t>(pair.slot)])
            return false;
        seen[static_cast<std::size_t>(pair.slot)] = true;
    }
    return true;
}

constexpr bool everyRowHasSlot()
{
    for (const ModelRow& row : modelRows)
    {
        bool found = false;
        for (const SlotPair& pair : slotMapping)
            found = found || pair.productId == row.productId;
        if (!found)
            return false;
    }
    return true;
}

// Distinct ascending ids in the mapping, 51 of them, each one a row's: so the rows' ids are distinct too.
static_assert(productIdsAscend(),
              "slot mapping must list distinct non-zero 16-bit product ids in ascending order");
static_assert(slotsArePermutation(), "slot mapping must use every slot 0..50 exactly once");
static_assert(everyRowHasSlot(), "every model row needs a slot");

constexpr std::array<int, supportedModelCount> slotProductIds = productIdsBySlot();
} // namespace

const std::vector<SupportedModel>& supportedModels()
{
    static std::vector<SupportedModel> table;
    if (!table.empty())
        return table;

    table.reserve(supportedModelCount);
    for (const ModelRow& row : modelRows)
        table.push_back({row.displayName, row.keyName, tarnwellVendorId, row.productId});
    return table;
}

int findModelSlot(int productId)
{
    const auto pair = std::lower_bound(slotMapping.begin(), slotMapping.end(), productId,
                                       [](const SlotPair& entry, int id) { return entry.productId < id; });
    return pair != slotMapping.end() && pair->productId == productId ? pair->slot : -1;
}

int modelSlotForProductId(int productId)
{
    if (const int slot = findModelSlot(productId); slot >= 0)
        return slot;

    // Formatted apart so that std::clog keeps its own base, width and fill for whoever writes next.
    std::ostringstream line;
    line << "hex: " << std::hex << std::setw(4) << std::setfill('0') << productId;
    std::clog << line.str() << std::endl;
    return -1;
}

int productIdForModelSlot(int modelSlot)
{
    if (modelSlot < 0 || modelSlot >= supportedModelCount)
        return 0;
    return slotProductIds[static_cast<std::size_t>(modelSlot)];
}
