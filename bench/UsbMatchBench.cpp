// Matching the 51 supported-model candidates against 1,000 instance ids, as a machine with many USB
// elements would enumerate them. Peers in the same run: the same substring search with the patterns built
// once up front (what rebuilding them for every element costs), and a naive std::regex per candidate.

#include "devices/SupportedModels.h"
#include "devices/UsbScan.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <regex>

namespace
{
std::vector<UsbDeviceId> supportedCandidates()
{
    std::vector<UsbDeviceId> candidates;
    for (const SupportedModel& model : supportedModels())
        candidates.push_back({model.vendorId, model.productId});
    return candidates;
}

// 1,000 ids shaped like the platform's: root hubs, hubs, composite interfaces and devices of other makers,
// with a supported model plugged in at five places.
std::vector<std::string> realisticInstanceIds()
{
    std::mt19937 random(1234);
    std::uniform_int_distribution<unsigned> id16(0, 0xFFFF);
    const unsigned otherVendors[] = {0x046D, 0x8087, 0x0BDA, 0x1D6B, 0x05AC, 0x0781, 0x045E, 0x2109};
    const auto& table = supportedModels();

    std::vector<std::string> ids;
    char text[96];
    for (int i = 0; i < 1000; ++i)
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
const std::vector<std::string> instanceIds = realisticInstanceIds();
const std::size_t expectedMatches = matchInstanceIds(candidates, instanceIds).size();

void checkMatches(benchmark::State& state, std::size_t matches)
{
    state.counters["matches"] = static_cast<double>(matches);
    if (matches != expectedMatches || matches == 0)
        state.SkipWithError("peer disagrees with matchInstanceIds");
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * instanceIds.size()));
}

void matchInstanceIdsAsScanned(benchmark::State& state)
{
    std::size_t matches = 0;
    for (auto _ : state)
    {
        const std::vector<UsbDeviceId> found = matchInstanceIds(candidates, instanceIds);
        matches = found.size();
        benchmark::DoNotOptimize(found.data());
    }
    checkMatches(state, matches);
}

void prebuiltPatternsFind(benchmark::State& state)
{
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
    checkMatches(state, matches);
}

void naiveRegexPerCandidate(benchmark::State& state)
{
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
    checkMatches(state, matches);
}
} // namespace

BENCHMARK(matchInstanceIdsAsScanned)->Unit(benchmark::kMicrosecond);
BENCHMARK(prebuiltPatternsFind)->Unit(benchmark::kMicrosecond);
BENCHMARK(naiveRegexPerCandidate)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
