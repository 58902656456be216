#pragma once

#include <cstdint>
#include <vector>

// One supported hardware model.
struct SupportedModel
{
    const char* displayName;
    const char* keyName;
    std::uint16_t vendorId;
    std::uint16_t productId;
};

// The maker's USB vendor id, the same for every supported model.
inline constexpr std::uint16_t tarnwellVendorId = 0x2E7A;

inline constexpr int supportedModelCount = 51;

// Takes nothing; gives back the 51 rows in table order (filled on the first call, never changed after).
const std::vector<SupportedModel>& supportedModels();

// Takes a USB product id; gives back its model slot 0..50, or -1 when it has none. Writes nothing.
[[nodiscard]] int findModelSlot(int productId);

// Takes a USB product id; gives back its model slot 0..50, or -1 when it has none, after writing
// "hex: " and the id as at least four lower-case hexadecimal digits as one line to std::clog.
[[nodiscard]] int modelSlotForProductId(int productId);

// Takes a model slot; gives back the product id of that slot, or 0 for a slot outside 0..50. Writes nothing.
[[nodiscard]] int productIdForModelSlot(int modelSlot);
