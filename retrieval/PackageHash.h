#pragma once

#include <juce_core/juce_core.h>

#include <cstddef>
#include <functional>
#include <memory>

// A driver package's SHA-256, as a catalogue entry may give it (see isSha256Text in DriverCatalogue.h).

// The system's SHA-256 state between updates (libcrypto's digest context, or BCrypt's hash object with its
// provider); defined by the platform layer. Sha256Stream owns one; it moves but is never copied, so one
// stream of bytes feeds one state.
struct Sha256Context;
struct Sha256ContextRelease
{
    void operator()(Sha256Context* context) const; // platform layer: frees the system's objects
};
struct Sha256Stream
{
    std::unique_ptr<Sha256Context, Sha256ContextRelease> context; // nullptr: not started, failed or finished
};

// Platform layer (PackageHash_posix.cpp: libcrypto; PackageHash_windows.cpp: BCrypt), for bytes that come
// in pieces, such as a download as it is written.
// startSha256: takes nothing; gives back a started stream, or one without context when the system's
// hashing cannot be started. Writes nothing.
// updateSha256: takes a stream and bytes; hashes them after the bytes before. Gives back false (and ends the
// stream: later calls fail, finishSha256 gives empty text) when the stream has no context or the system's
// hashing fails. Writes nothing.
// finishSha256: takes a stream; gives back the SHA-256 of every byte handed to it as 64 lower-case
// hexadecimal digits, or empty text when it has no context or the system failed. The stream has no
// context afterwards. Writes nothing.
[[nodiscard]] Sha256Stream startSha256();
[[nodiscard]] bool updateSha256(Sha256Stream& stream, const void* data, std::size_t size);
[[nodiscard]] juce::String finishSha256(Sha256Stream& stream);

// Takes a file and a consumer; reads the file from start to end in blocks of hashReadBytes, handing each to
// the consumer. Gives back false when the file cannot be opened or read, or when the consumer gives back
// false. Writes nothing.
[[nodiscard]] bool readFileInBlocks(const juce::File& file,
                                    const std::function<bool(const void* data, std::size_t size)>& consumer);

// Takes a file; hashes it in one streamed read through the stream functions above. Gives back its SHA-256
// as 64 lower-case hexadecimal digits, or empty text when the file cannot be read or the system's hashing
// fails. Writes nothing.
[[nodiscard]] juce::String sha256OfFile(const juce::File& file);

// Takes a SHA-256 as 64 hexadecimal digits (or empty text for none) and the catalogue's sha256 text for an
// entry; gives back whether they are the same hash (letter case ignored). A malformed text or an empty
// hash never matches. Writes nothing.
[[nodiscard]] bool sha256Matches(const juce::String& actual, const juce::String& expected);

// Takes a finished download and the catalogue's sha256 text for its entry; gives back whether the file's
// SHA-256 is the one given (sha256Matches). A malformed text or an unreadable file never matches.
[[nodiscard]] bool fileMatchesSha256(const juce::File& file, const juce::String& expected);
