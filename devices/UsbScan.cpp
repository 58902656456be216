#include "devices/UsbScan.h"

#include "devices/SupportedModels.h"

#include <cstdint>
#include <cstring>

namespace
{
// "USB\VID_" + up to 8 digits + "&PID_" + up to 8 digits.
constexpr std::size_t longestMatchPattern = 29;

constexpr char hexDigits[] = "0123456789ABCDEF";

// Takes a 32-bit id (as an unsigned value, so a negative int reads as its two's complement) and a write
// position; writes its upper-case hexadecimal digits, at least four, zero-padded on the left. Gives back
// the position after the last digit.
char* writeHexId(std::uint32_t id, char* out)
{
    if (id <= 0xFFFF) // every USB id: exactly four digits
    {
        out[0] = hexDigits[id >> 12];
        out[1] = hexDigits[(id >> 8) & 0xF];
        out[2] = hexDigits[(id >> 4) & 0xF];
        out[3] = hexDigits[id & 0xF];
        return out + 4;
    }
    int count = 0;
    for (std::uint32_t rest = id; rest != 0; rest >>= 4)
        ++count;
    for (int shift = (count - 1) * 4; shift >= 0; shift -= 4)
        *out++ = hexDigits[(id >> shift) & 0xF];
    return out;
}

// Takes a candidate and a buffer of longestMatchPattern characters; writes the candidate's match pattern
// into it (no terminating zero) and gives back its length. The text is the same as formatting with a hex
// stream of width 4, fill '0', then upper-casing it, without the stream's locale and allocations: the scan
// builds it afresh for every candidate of every device element.
std::size_t writeUsbMatchPattern(const UsbDeviceId& candidate, char* buffer)
{
    constexpr char vendorLead[] = "USB\\VID_";
    constexpr char productLead[] = "&PID_";
    std::memcpy(buffer, vendorLead, sizeof vendorLead - 1);
    char* out = writeHexId(static_cast<std::uint32_t>(candidate.vendorId), buffer + sizeof vendorLead - 1);
    std::memcpy(out, productLead, sizeof productLead - 1);
    out = writeHexId(static_cast<std::uint32_t>(candidate.productId), out + sizeof productLead - 1);
    return static_cast<std::size_t>(out - buffer);
}
// Takes an instance id; gives back whether it names the maker's vendor id, letters in any case.
bool hasMakerVendorId(const std::string& instanceId)
{
    char vendorPart[12] = "VID_";
    const std::size_t length =
        static_cast<std::size_t>(writeHexId(tarnwellVendorId, vendorPart + 4) - vendorPart); // "VID_2E7A"
    std::string upper(instanceId);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return upper.find(vendorPart, 0, length) != std::string::npos;
}
} // namespace

std::string usbMatchPattern(const UsbDeviceId& candidate)
{
    char buffer[longestMatchPattern];
    return std::string(buffer, writeUsbMatchPattern(candidate, buffer));
}

void appendMatchingCandidates(const std::vector<UsbDeviceId>& candidates, const std::string& instanceId,
                              std::vector<UsbDeviceId>& found)
{
    char pattern[longestMatchPattern];
    for (const UsbDeviceId& candidate : candidates)
        if (instanceId.find(pattern, 0, writeUsbMatchPattern(candidate, pattern)) != std::string::npos)
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

std::vector<UsbDeviceId> scanPresentUsbDevices(const std::vector<UsbDeviceId>& candidates,
                                               UsbScanReport* report)
{
    std::vector<UsbDeviceId> found;
    forEachPresentUsbInstanceId(
        [&](const std::string& instanceId)
        {
            const std::size_t before = found.size();
            appendMatchingCandidates(candidates, instanceId, found);
            if (report == nullptr)
                return;
            ++report->presentCount;
            if (found.size() > before || hasMakerVendorId(instanceId))
                report->makerDevices.push_back(
                    {instanceId,
                     std::vector<UsbDeviceId>(found.begin() + (std::ptrdiff_t)before, found.end())});
        });
    return found;
}

std::vector<UsbDeviceId> findPresentSupportedDevices(UsbScanReport* report)
{
    const std::vector<SupportedModel>& table = supportedModels();
    std::vector<UsbDeviceId> candidates;
    candidates.reserve(table.size());
    for (const SupportedModel& model : table)
        candidates.push_back({static_cast<int>(model.vendorId), static_cast<int>(model.productId)});
    return scanPresentUsbDevices(candidates, report);
}
