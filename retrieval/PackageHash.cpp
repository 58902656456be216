#include "retrieval/PackageHash.h"

#include "base/Limits.h"
#include "retrieval/DriverCatalogue.h"

#include <vector>

bool readFileInBlocks(const juce::File& file,
                      const std::function<bool(const void* data, std::size_t size)>& consumer)
{
    juce::FileInputStream stream(file);
    if (!stream.openedOk())
        return false;

    std::vector<char> block(hashReadBytes);
    for (;;)
    {
        const int read = stream.read(block.data(), static_cast<int>(block.size()));
        if (read < 0)
            return false;
        if (read == 0)
            // The stream reports a failed read as its end: the end is only believed where the size says so.
            return stream.isExhausted() && stream.getPosition() == file.getSize();
        if (!consumer(block.data(), static_cast<std::size_t>(read)))
            return false;
    }
}

juce::String sha256OfFile(const juce::File& file)
{
    Sha256Stream hash = startSha256();
    if (hash.context == nullptr)
        return {};
    const bool read = readFileInBlocks(file, [&hash](const void* data, std::size_t size)
                                       { return updateSha256(hash, data, size); });
    const juce::String digest = finishSha256(hash);
    return read ? digest : juce::String();
}

bool sha256Matches(const juce::String& actual, const juce::String& expected)
{
    return isSha256Text(expected) && actual.isNotEmpty() && actual.equalsIgnoreCase(expected);
}

bool fileMatchesSha256(const juce::File& file, const juce::String& expected)
{
    return isSha256Text(expected) && sha256Matches(sha256OfFile(file), expected);
}
