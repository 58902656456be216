// Matching the 51 supported-model candidates against 1,000 instance ids, as a machine with very many USB
// elements would enumerate them, and against 30, as a typical machine does. Peers in the same run: the same
// substring search with the patterns built once up front (what rebuilding them for every element costs),
// the patterns built afresh with a string stream (how the scan used to build them), and a naive std::regex
// per candidate.

#include "devices/SupportedModels.h"
#include "devices/UsbScan.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <iomanip>
#include <map>
#include <random>
#include <regex>
#include <sstream>

namespace
{
std::vector<UsbDeviceId> supportedCandidates()
{
    std::vector<UsbDeviceId> candidates;
    for (const SupportedModel& model : supportedModels())
        candidates.push_back({model.vendorId, model.productId});
    return candidates;
}

// Takes a count; gives back that many ids shaped like the platform's: root hubs, hubs, composite
// interfaces and devices of other makers, with a supported model plugged in at every 200th place from the
// 18th on (five in 1,000, one in 30).
std::vector<std::string> realisticInstanceIds(int count)
{
    std::mt19937 random(1234);
    std::uniform_int_distribution<unsigned> id16(0, 0xFFFF);
    const unsigned otherVendors[] = {0x046D, 0x8087, 0x0BDA, 0x1D6B, 0x05AC, 0x0781, 0x045E, 0x2109};
    const auto& table = supportedModels();

    std::vector<std::string> ids;
    char text[96];
    for (int i = 0; i < count; ++i)
    {
        if (i % 200 == 17)
            std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X\\SN%08X", tarnwellVendorId,
                          table[static_cast<std::size_t>(i) % table.size()].productId, id16(random));
        else if (i % 10 == 0)
            std::snprintf(text, sizeof text, "USB\\ROOT_HUB30\\%X&%X&0&0", i % 7, id16(random));
        else if (i % 3 == 0)
            std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X&MI_%02X\\%X&%X&0&%04X",
                          otherVendors[i % 8], id16(random), i % 4, i % 9, id16(random), i);
        else
            std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X\\%X&%X&0&%d", otherVendors[i % 8],
                          id16(random), i % 9, id16(random), i % 16);
        ids.push_back(text);
    }
    return ids;
}

const std::vector<UsbDeviceId> candidates = supportedCandidates();

// Takes the benchmark's argument (the id count); gives back the ids, made once per count.
const std::vector<std::string>& instanceIdsFor(const benchmark::State& state)
{
    static std::map<int, std::vector<std::string>> made;
    const int count = static_cast<int>(state.range(0));
    auto found = made.find(count);
    if (found == made.end())
        found = made.emplace(count, realisticInstanceIds(count)).first;
    return found->second;
}

void checkMatches(benchmark::State& state, const std::vector<std::string>& instanceIds, std::size_t matches)
{
    const std::size_t expectedMatches = matchInstanceIds(candidates, instanceIds).size();
    state.counters["matches"] = static_cast<double>(matches);
    if (matches != expectedMatches || matches == 0)
        state.SkipWithError("peer disagrees with matchInstanceIds");
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * instanceIds.size()));
}

// The scan's pattern as it used to be built: a hex stream of width 4 and fill '0', then upper-cased.
std::string streamBuiltPattern(const UsbDeviceId& candidate)
{
    std::ostringstream text;
    text << "USB\\VID_" << std::hex << std::setfill('0') << std::setw(4) << candidate.vendorId << "&PID_"
         << std::setw(4) << candidate.productId;
    std::string pattern = text.str();
    for (char& c : pattern)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return pattern;
}

void matchInstanceIdsAsScanned(benchmark::State& state)
{
    const std::vector<std::string>& instanceIds = instanceIdsFor(state);
    std::size_t matches = 0;
    for (auto _ : state)
    {
        const std::vector<UsbDeviceId> found = matchInstanceIds(candidates, instanceIds);
        matches = found.size();
        benchmark::DoNotOptimize(found.data());
    }
    checkMatches(state, instanceIds, matches);
}

void prebuiltPatternsFind(benchmark::State& state)
{
    const std::vector<std::string>& instanceIds = instanceIdsFor(state);
    std::vector<std::string> patterns;
    for (const UsbDeviceId& candidate : candidates)
        patterns.push_back(usbMatchPattern(candidate));

    std::size_t matches = 0;
    for (auto _ : state)
    {
        std::vector<UsbDeviceId> found;
        for (const std::string& id : instanceIds)
            for (std::size_t c = 0; c < patterns.size(); ++c)
                if (id.find(patterns[c]) != std::string::npos)
                    found.push_back(candidates[c]);
        matches = found.size();
        benchmark::DoNotOptimize(found.data());
    }
    checkMatches(state, instanceIds, matches);
}

void streamBuiltPatterns(benchmark::State& state)
{
    const std::vector<std::string>& instanceIds = instanceIdsFor(state);
    std::size_t matches = 0;
    for (auto _ : state)
    {
        std::vector<UsbDeviceId> found;
        for (const std::string& id : instanceIds)
            for (const UsbDeviceId& candidate : candidates)
                if (id.find(streamBuiltPattern(candidate)) != std::string::npos)
                    found.push_back(candidate);
        matches = found.size();
        benchmark::DoNotOptimize(found.data());
    }
    checkMatches(state, instanceIds, matches);
}

void naiveRegexPerCandidate(benchmark::State& state)
{
    const std::vector<std::string>& instanceIds = instanceIdsFor(state);
    std::vector<std::regex> patterns;
    for (const UsbDeviceId& candidate : candidates)
    {
        std::string pattern = usbMatchPattern(candidate);
        pattern.replace(pattern.find('\\'), 1, "\\\\");
        patterns.emplace_back(pattern);
    }

    std::size_t matches = 0;
    for (auto _ : state)
    {
        std::vector<UsbDeviceId> found;
        for (const std::string& id : instanceIds)
            for (std::size_t c = 0; c < patterns.size(); ++c)
                if (std::regex_search(id, patterns[c]))
                    found.push_back(candidates[c]);
        matches = found.size();
        benchmark::DoNotOptimize(found.data());
    }
    checkMatches(state, instanceIds, matches);
}
} // namespace

BENCHMARK(matchInstanceIdsAsScanned)->Arg(1000)->Arg(30)->Unit(benchmark::kMicrosecond);
BENCHMARK(prebuiltPatternsFind)->Arg(1000)->Arg(30)->Unit(benchmark::kMicrosecond);
BENCHMARK(streamBuiltPatterns)->Arg(1000)->Arg(30)->Unit(benchmark::kMicrosecond);
BENCHMARK(naiveRegexPerCandidate)->Arg(1000)->Arg(30)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
