#include "base/NewFile.h"

#include "tests/install/InstallTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace
{
mode_t modeOf(const juce::File& file)
{
    struct stat status
    {
    };
    EXPECT_EQ(::lstat(file.getFullPathName().toRawUTF8(), &status), 0);
    return status.st_mode & 07777;
}
} // namespace

TEST(NewFile, WritesEveryByteAndIsReadableByAllWhateverTheUmask)
{
    ScopedTempFolder temp;
    const juce::File target = temp.folder.getChildFile("made");
    const mode_t previousMask = ::umask(0077);
    NewFile file = createNewFile(target);
    ::umask(previousMask);

    ASSERT_TRUE(file.isOpen());
    const std::string text(100000, 'x');
    EXPECT_TRUE(writeNewFile(file, text.data(), text.size()));
    EXPECT_TRUE(closeNewFile(file));
    EXPECT_FALSE(file.isOpen());
    EXPECT_EQ(target.loadFileAsString().toStdString(), text);
    EXPECT_EQ(modeOf(target), 0644u);

    ::umask(0);
    NewFile open = createNewFile(temp.folder.getChildFile("under-umask-0"));
    ::umask(previousMask);
    ASSERT_TRUE(open.isOpen());
    EXPECT_EQ(modeOf(temp.folder.getChildFile("under-umask-0")), 0644u);
}

TEST(NewFile, RefusesAnythingAlreadyThereAndNeverWritesThroughALink)
{
    ScopedTempFolder temp;
    const juce::File existing = temp.folder.getChildFile("existing");
    ASSERT_TRUE(existing.replaceWithText("kept"));
    EXPECT_FALSE(createNewFile(existing).isOpen());
    EXPECT_EQ(existing.loadFileAsString(), "kept");

    // A link to a file, and a dangling link whose target a follower would create.
    const juce::File victim = temp.folder.getChildFile("victim");
    ASSERT_TRUE(victim.replaceWithText("victim"));
    const juce::File link = temp.folder.getChildFile("link");
    ASSERT_EQ(::symlink(victim.getFullPathName().toRawUTF8(), link.getFullPathName().toRawUTF8()), 0);
    EXPECT_FALSE(createNewFile(link).isOpen());
    EXPECT_EQ(victim.loadFileAsString(), "victim");

    const juce::File dangling = temp.folder.getChildFile("dangling");
    const juce::File wouldBeMade = temp.folder.getChildFile("made-through-link");
    ASSERT_EQ(::symlink(wouldBeMade.getFullPathName().toRawUTF8(), dangling.getFullPathName().toRawUTF8()),
              0);
    EXPECT_FALSE(createNewFile(dangling).isOpen());
    EXPECT_FALSE(wouldBeMade.exists());

    EXPECT_FALSE(createNewFile(temp.folder).isOpen());
    EXPECT_FALSE(createNewFile(temp.folder.getChildFile("no-such-folder/file")).isOpen());
}

TEST(NewFile, ReportsAFullDiskAndAClosedFile)
{
    NewFile full = createNewFile(juce::File("/dev/full"));
    EXPECT_FALSE(full.isOpen()); // an existing device is never opened either

    ScopedTempFolder temp;
    NewFile file = createNewFile(temp.folder.getChildFile("f"));
    ASSERT_TRUE(closeNewFile(file));
    EXPECT_FALSE(writeNewFile(file, "x", 1));
    EXPECT_FALSE(closeNewFile(file));
}
