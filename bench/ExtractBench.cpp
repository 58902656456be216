// extract-bench <package.zip> <package file name> <working folder>
// Runs installDriverPackage once, as the driver step would after a download: unpacks the package into the
// working folder (which must be empty or missing) and runs its setup program. Prints "result <exit code>"
// and "unpack_ns <nanoseconds the call took>" on standard output; exits 0 when the call was timed, 2 on
// wrong arguments. No JUCE GUI is started: the unpacking needs none.

#include "install/DriverPackage.h"

#include <chrono>
#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 4)
    {
        std::fprintf(stderr, "usage: extract-bench <package.zip> <package file name> <working folder>\n");
        return 2;
    }

    const juce::File package(juce::String::fromUTF8(argv[1]));
    const juce::String packageFileName = juce::String::fromUTF8(argv[2]);
    const juce::File workingFolder(juce::String::fromUTF8(argv[3]));
    if (!package.existsAsFile() || !workingFolder.createDirectory())
    {
        std::fprintf(stderr, "extract-bench: no package at %s or no working folder at %s\n", argv[1],
                     argv[3]);
        return 2;
    }

    const auto started = std::chrono::steady_clock::now();
    const int result = installDriverPackage(packageFileName, package, workingFolder);
    const auto took = std::chrono::steady_clock::now() - started;

    std::printf("result %d\nunpack_ns %lld\n", result,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count()));
    return 0;
}
