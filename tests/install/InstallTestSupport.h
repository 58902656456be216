#pragma once

#include "tests/support/cpp/TestHelpers.h"

#include <juce_core/juce_core.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

// The stand-in setup program built beside the tests (tests/support/setup-program).
juce::File fakeSetupProgram();

// A fresh folder below the temporary folder, removed with everything in it at the end of the scope.
struct ScopedTempFolder
{
    ScopedTempFolder();
    ~ScopedTempFolder();
    ScopedTempFolder(const ScopedTempFolder&) = delete;
    ScopedTempFolder& operator=(const ScopedTempFolder&) = delete;

    juce::File folder;
};

// Sets environment variables for the scope (a child process inherits them) and puts the old values back.
struct ScopedEnvironment
{
    explicit ScopedEnvironment(std::vector<std::pair<std::string, std::string>> variables);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    std::vector<std::pair<std::string, std::pair<bool, std::string>>> previous;
};

// Takes the record file of the stand-in; gives back one parsed JSON object per run that it recorded.
juce::Array<juce::var> readRecords(const juce::File& recordFile);

// One entry of a test archive: its stored name, exactly as written into the archive, and its bytes.
struct ZipEntry
{
    juce::String name;
    juce::MemoryBlock data;
};

// Takes a text; gives back its bytes. Takes a file; gives back its contents.
juce::MemoryBlock bytesOf(const juce::String& text);
juce::MemoryBlock bytesOf(const juce::File& file);

// Takes the archive file and the entries; writes a zip archive holding them in that order.
void writeZip(const juce::File& archive, const std::vector<ZipEntry>& entries);
