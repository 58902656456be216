#pragma once

#include "devices/UsbInstanceIds.h"

#include <functional>
#include <string>
#include <vector>

// One USB device identity; each field holds a 16-bit USB id.
struct UsbDeviceId
{
    int vendorId;
    int productId;

    bool operator==(const UsbDeviceId& other) const
    {
        return vendorId == other.vendorId && productId == other.productId;
    }
};

// Takes a candidate; gives back "USB\VID_xxxx&PID_yyyy", at least four hexadecimal digits each, upper case.
std::string usbMatchPattern(const UsbDeviceId& candidate);

// Takes the candidates, one instance-id text and the result so far; appends a copy of every candidate
// whose pattern stands in the id (plain substring, exact characters), in candidate order.
void appendMatchingCandidates(const std::vector<UsbDeviceId>& candidates, const std::string& instanceId,
                              std::vector<UsbDeviceId>& found);

// Takes the candidates and the instance-id texts in enumeration order; gives back every candidate
// whose pattern stands in an id (exact characters), ordered by id first and candidate second,
// duplicates kept. Writes nothing.
[[nodiscard]] std::vector<UsbDeviceId> matchInstanceIds(const std::vector<UsbDeviceId>& candidates,
                                                        const std::vector<std::string>& instanceIds);

// What a scan saw, for the run log: how many device elements were present, and each one whose id names the
// maker's vendor id (letters in any case) or matched a candidate, with the candidates it matched.
struct UsbScanReport
{
    struct MakerDevice
    {
        std::string instanceId;
        std::vector<UsbDeviceId> matched;
    };

    int presentCount = 0;
    std::vector<MakerDevice> makerDevices;
};

// Takes the candidates and, optionally, a report to fill; gives back the present ones (see
// matchInstanceIds) from the platform's devices. Writes nothing.
[[nodiscard]] std::vector<UsbDeviceId> scanPresentUsbDevices(const std::vector<UsbDeviceId>& candidates,
                                                             UsbScanReport* report = nullptr);

// Takes, optionally, a report to fill; builds one candidate per supported model, in table order, and gives
// back the present ones.
[[nodiscard]] std::vector<UsbDeviceId> findPresentSupportedDevices(UsbScanReport* report = nullptr);
