// hash-bench <file>
// Hashes the file once with the package hash the driver step uses (one streamed read, the system's
// SHA-256). Prints the digest as sha256sum does ("<digest>  <file>") and "hash_ns <nanoseconds>" on standard
// output; exits 0 when the file was hashed, 1 when it could not be, 2 on wrong arguments.

#include "retrieval/PackageHash.h"

#include <chrono>
#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: hash-bench <file>\n");
        return 2;
    }
    const juce::File file(
        juce::File::getCurrentWorkingDirectory().getChildFile(juce::String::fromUTF8(argv[1])));

    const auto started = std::chrono::steady_clock::now();
    const juce::String digest = sha256OfFile(file);
    const auto took = std::chrono::steady_clock::now() - started;

    if (digest.isEmpty())
        return 1;
    std::printf("%s  %s\nhash_ns %lld\n", digest.toRawUTF8(), argv[1],
                static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count()));
    return 0;
}
