#include "tests/install/InstallTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>

juce::File fakeSetupProgram()
{
    return juce::File(STRELL_FAKE_SETUP);
}

ScopedTempFolder::ScopedTempFolder()
    : folder(juce::File::getSpecialLocation(juce::File::tempDirectory)
                 .getChildFile("strell-install-test-" + juce::Uuid().toString()))
{
    if (!folder.createDirectory())
        ADD_FAILURE() << "cannot create " << folder.getFullPathName();
}

ScopedTempFolder::~ScopedTempFolder()
{
    folder.deleteRecursively();
}

ScopedEnvironment::ScopedEnvironment(std::vector<std::pair<std::string, std::string>> variables)
{
    for (auto& [name, value] : variables)
    {
        const char* old = std::getenv(name.c_str());
        previous.push_back({name, {old != nullptr, old != nullptr ? old : ""}});
        setenv(name.c_str(), value.c_str(), 1);
    }
}

ScopedEnvironment::~ScopedEnvironment()
{
    for (auto it = previous.rbegin(); it != previous.rend(); ++it)
    {
        if (it->second.first)
            setenv(it->first.c_str(), it->second.second.c_str(), 1);
        else
            unsetenv(it->first.c_str());
    }
}

juce::Array<juce::var> readRecords(const juce::File& recordFile)
{
    juce::Array<juce::var> records;
    juce::StringArray lines;
    recordFile.readLines(lines);

    for (auto& line : lines)
    {
        if (line.isEmpty())
            continue;

        juce::var record;
        const auto parsed = juce::JSON::parse(line, record);
        EXPECT_TRUE(parsed.wasOk()) << "unreadable record: " << line;
        records.add(record);
    }

    return records;
}

juce::MemoryBlock bytesOf(const juce::String& text)
{
    return juce::MemoryBlock(text.toRawUTF8(), text.getNumBytesAsUTF8());
}

juce::MemoryBlock bytesOf(const juce::File& file)
{
    juce::MemoryBlock data;
    EXPECT_TRUE(file.loadFileAsData(data)) << "cannot read " << file.getFullPathName();
    return data;
}

void writeZip(const juce::File& archive, const std::vector<ZipEntry>& entries)
{
    juce::ZipFile::Builder builder;

    // The builder writes names as given, "../x" included, which lets a test build a hostile archive.
    // An empty entry (a folder) reads from a real address: an empty block's is null, which the copies
    // below would hand to memcpy.
    static const char nothing = 0;
    for (auto& entry : entries)
        builder.addEntry(entry.data.isEmpty() ? new juce::MemoryInputStream(&nothing, 0, false)
                                              : new juce::MemoryInputStream(entry.data, true),
                         9, entry.name, juce::Time::getCurrentTime());

    archive.deleteFile();
    juce::FileOutputStream out(archive);
    ASSERT_TRUE(out.openedOk()) << "cannot write " << archive.getFullPathName();
    ASSERT_TRUE(builder.writeToStream(out, nullptr));
}
