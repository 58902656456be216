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

bool fileMatchesSha256(const juce::File& file, const juce::String& expected)
{
    if (!isSha256Text(expected))
        return false;
    const juce::String actual = sha256OfFile(file);
    return actual.isNotEmpty() && actual.equalsIgnoreCase(expected);
}
