#include "devices/UsbScan.h"

#include "devices/SupportedModels.h"

#include <iomanip>
#include <sstream>

std::string usbMatchPattern(const UsbDeviceId& candidate)
{
    std::ostringstream text;
    text << "USB\\VID_" << std::hex << std::setfill('0') << std::setw(4) << candidate.vendorId << "&PID_"
         << std::setw(4) << candidate.productId;

    // Plain ASCII upper-casing: the result must not depend on the C locale in force.
    std::string pattern = text.str();
    for (char& c : pattern)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return pattern;
}

void appendMatchingCandidates(const std::vector<UsbDeviceId>& candidates, const std::string& instanceId,
                              std::vector<UsbDeviceId>& found)
{
    for (const UsbDeviceId& candidate : candidates)
        if (instanceId.find(usbMatchPattern(candidate)) != std::string::npos)
            found.push_back(candidate);
}

std::vector<UsbDeviceId> matchInstanceIds(const std::vector<UsbDeviceId>& candidates,
                                          const std::vector<std::string>& instanceIds)
{
    std::vector<UsbDeviceId> found;
    for (const std::string& instanceId : instanceIds)
        appendMatchingCandidates(candidates, instanceId, found);
    return found;
}

std::vector<UsbDeviceId> scanPresentUsbDevices(const std::vector<UsbDeviceId>& candidates)
{
    std::vector<UsbDeviceId> found;
    forEachPresentUsbInstanceId([&](const std::string& instanceId)
                                { appendMatchingCandidates(candidates, instanceId, found); });
    return found;
}

std::vector<UsbDeviceId> findPresentSupportedDevices()
{
    const std::vector<SupportedModel>& table = supportedModels();
    std::vector<UsbDeviceId> candidates;
    candidates.reserve(table.size());
    for (const SupportedModel& model : table)
        candidates.push_back({static_cast<int>(model.vendorId), static_cast<int>(model.productId)});
    return scanPresentUsbDevices(candidates);
}
