#pragma once

#include <juce_core/juce_core.h>

#include <cstddef>
#include <functional>

// A driver package's SHA-256, as a catalogue entry may give it (see isSha256Text in DriverCatalogue.h).

// Takes a file and a consumer; reads the file from start to end in blocks of hashReadBytes, handing each to
// the consumer. Gives back false when the file cannot be opened or read, or when the consumer gives back
// false. Writes nothing.
[[nodiscard]] bool readFileInBlocks(const juce::File& file,
                                    const std::function<bool(const void* data, std::size_t size)>& consumer);

// Platform layer (PackageHash_posix.cpp: libcrypto; PackageHash_windows.cpp: BCrypt). Takes a file;
// hashes it in one streamed read. Gives back its SHA-256 as 64 lower-case hexadecimal digits, or empty text
// when the file cannot be read or the system's hashing fails. Writes nothing.
[[nodiscard]] juce::String sha256OfFile(const juce::File& file);

// Takes a finished download and the catalogue's sha256 text for its entry; gives back whether the file's
// SHA-256 is the one given (letter case ignored). A malformed text or an unreadable file never matches.
[[nodiscard]] bool fileMatchesSha256(const juce::File& file, const juce::String& expected);
