// signature-bench <signed catalogue> <public keys.pem> <rounds>: checkCatalogueSignature on the file's bytes
// (finding the comment, decoding it, SHA-256 and the P-256 verification) timed from inside, so that process
// start is not counted. Prints "verify_ns <median of the rounds>" and "verified <0|1>".

#include "retrieval/CatalogueSignature.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

// Takes the arguments above; gives back 0 when every round verified, else 1. Writes the figures to stdout.
int main(int argc, char* argv[])
{
    if (argc != 4)
    {
        std::fputs("usage: signature-bench <signed catalogue> <public keys.pem> <rounds>\n", stderr);
        return 2;
    }
    juce::MemoryBlock body;
    const auto keys = p256KeysFromPem(juce::File(argv[2]).loadFileAsString());
    if (!juce::File(argv[1]).loadFileAsData(body) || !keys)
        return 2;
    const int rounds = std::max(1, juce::String(argv[3]).getIntValue());
    std::vector<long long> times;
    bool allVerified = true;
    for (int round = 0; round < rounds; ++round)
    {
        const auto started = std::chrono::steady_clock::now();
        const SignatureCheck check = checkCatalogueSignature(body.getData(), body.getSize(), *keys);
        times.push_back(
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - started)
                .count());
        allVerified = allVerified && check.outcome == SignatureOutcome::verified;
    }
    std::sort(times.begin(), times.end());
    std::printf("verify_ns %lld\nverified %d\n", times[times.size() / 2], allVerified ? 1 : 0);
    return allVerified ? 0 : 1;
}
