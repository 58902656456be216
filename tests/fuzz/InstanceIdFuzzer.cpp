// Fuzzes the USB instance-id matching. The input is a list of instance-id texts separated by line feeds
// (the last one may be unterminated). They go through every entry point of the matching: matchInstanceIds,
// appendMatchingCandidates, scanPresentUsbDevices and findPresentSupportedDevices (through the fake
// enumeration), against the supported-model table and against extra candidates read from the input
// itself, so that near misses (other vendors, lower-case digits) are tried too. Each result is compared
// with a reference match written here independently of devices/UsbScan.cpp.

#include "devices/SupportedModels.h"
#include "devices/UsbScan.h"
#include "tests/fakes/FakeUsbInstanceIds.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{
// More ids than a PC has USB devices; keeps each input quick.
constexpr std::size_t maxIds = 256;
constexpr std::size_t maxExtraCandidates = 16;

[[noreturn]] void fail(const char* what, const std::string& detail = {})
{
    std::fprintf(stderr, "instance-id fuzzer: %s %s\n", what, detail.c_str());
    std::abort();
}

// The match pattern written with printf, independently of usbMatchPattern.
std::string referencePattern(const UsbDeviceId& candidate)
{
    char text[64];
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", static_cast<unsigned>(candidate.vendorId),
                  static_cast<unsigned>(candidate.productId));
    return text;
}

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Takes the text after a marker; gives back the value of the one to eight hex digits there (as the 32 bits
// of a candidate field, so that ids above 0xFFFF and "negative" ones are tried too), or false.
bool hexDigitsAt(const std::string& text, std::size_t at, int& value)
{
    std::uint32_t digits = 0;
    std::size_t count = 0;
    for (; at + count < text.size() && count < 8 && hexDigitValue(text[at + count]) >= 0; ++count)
        digits = digits * 16 + static_cast<std::uint32_t>(hexDigitValue(text[at + count]));
    value = static_cast<int>(digits);
    return count > 0;
}

// Every "VID_<hex>" followed somewhere later by "PID_<hex>" in the ids, markers and digits in any case,
// as a candidate.
std::vector<UsbDeviceId> candidatesReadFrom(const std::vector<std::string>& ids)
{
    std::vector<UsbDeviceId> found;
    for (const std::string& id : ids)
    {
        std::string lower = id;
        for (char& c : lower)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');

        for (std::size_t vid = lower.find("vid_");
             vid != std::string::npos && found.size() < maxExtraCandidates; vid = lower.find("vid_", vid + 1))
        {
            const std::size_t pid = lower.find("pid_", vid);
            int vendorId = 0;
            int productId = 0;
            if (pid != std::string::npos && hexDigitsAt(id, vid + 4, vendorId) &&
                hexDigitsAt(id, pid + 4, productId))
                found.push_back({vendorId, productId});
        }
    }
    return found;
}

// Plain substring test, byte by byte (zero bytes included).
bool standsIn(const std::string& pattern, const std::string& text)
{
    for (std::size_t at = 0; at + pattern.size() <= text.size(); ++at)
        if (std::memcmp(text.data() + at, pattern.data(), pattern.size()) == 0)
            return true;
    return false;
}

std::vector<UsbDeviceId> referenceMatches(const std::vector<UsbDeviceId>& candidates,
                                          const std::vector<std::string>& ids)
{
    std::vector<UsbDeviceId> found;
    for (const std::string& id : ids)
        for (const UsbDeviceId& candidate : candidates)
            if (standsIn(referencePattern(candidate), id))
                found.push_back(candidate);
    return found;
}

bool contains(const std::vector<UsbDeviceId>& list, const UsbDeviceId& id)
{
    for (const UsbDeviceId& entry : list)
        if (entry == id)
            return true;
    return false;
}

std::string describe(const std::vector<UsbDeviceId>& list)
{
    std::string text = std::to_string(list.size()) + " entries:";
    for (const UsbDeviceId& entry : list)
        text += " " + referencePattern(entry);
    return text;
}

// Every entry is a candidate whose pattern stands in some id, and the whole list equals the reference.
void checkResult(const char* entryPoint, const std::vector<UsbDeviceId>& result,
                 const std::vector<UsbDeviceId>& candidates, const std::vector<std::string>& ids)
{
    for (const UsbDeviceId& entry : result)
    {
        if (!contains(candidates, entry))
            fail(entryPoint, "gave an entry that is no candidate: " + referencePattern(entry));

        bool inSomeId = false;
        for (const std::string& id : ids)
            inSomeId = inSomeId || standsIn(usbMatchPattern(entry), id);
        if (!inSomeId)
            fail(entryPoint, "gave an entry whose pattern stands in no id: " + usbMatchPattern(entry));
    }

    const std::vector<UsbDeviceId> expected = referenceMatches(candidates, ids);
    if (result.size() != expected.size())
        fail(entryPoint,
             "count differs from the reference: " + describe(result) + " vs " + describe(expected));
    if (result != expected)
        fail(entryPoint,
             "order differs from the reference: " + describe(result) + " vs " + describe(expected));
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> ids;
    const char* text = reinterpret_cast<const char*>(data);
    std::size_t start = 0;
    while (start < size && ids.size() < maxIds)
    {
        const void* newline = std::memchr(text + start, '\n', size - start);
        const std::size_t end =
            newline == nullptr ? size : static_cast<std::size_t>(static_cast<const char*>(newline) - text);
        ids.emplace_back(text + start, end - start);
        start = end + 1;
    }

    std::vector<UsbDeviceId> tableCandidates;
    for (const SupportedModel& model : supportedModels())
        tableCandidates.push_back({model.vendorId, model.productId});

    std::vector<UsbDeviceId> candidates = tableCandidates;
    for (const UsbDeviceId& extra : candidatesReadFrom(ids))
        candidates.push_back(extra);

    for (const UsbDeviceId& candidate : candidates)
        if (usbMatchPattern(candidate) != referencePattern(candidate))
            fail("usbMatchPattern differs from the reference:", usbMatchPattern(candidate));

    checkResult("matchInstanceIds", matchInstanceIds(candidates, ids), candidates, ids);

    // appendMatchingCandidates adds to what is there and leaves it alone.
    const UsbDeviceId sentinel{-1, -1};
    std::vector<UsbDeviceId> appended{sentinel};
    for (const std::string& id : ids)
        appendMatchingCandidates(candidates, id, appended);
    if (appended.empty() || !(appended.front() == sentinel))
        fail("appendMatchingCandidates changed the entries already found");
    appended.erase(appended.begin());
    checkResult("appendMatchingCandidates", appended, candidates, ids);

    fakeUsbInstanceIds = ids;
    const int scansBefore = fakeUsbScanCount;
    checkResult("scanPresentUsbDevices", scanPresentUsbDevices(candidates), candidates, ids);
    checkResult("findPresentSupportedDevices", findPresentSupportedDevices(), tableCandidates, ids);
    if (fakeUsbScanCount != scansBefore + 2)
        fail("each scan must enumerate the devices exactly once");
    fakeUsbInstanceIds.clear();
    return 0;
}
