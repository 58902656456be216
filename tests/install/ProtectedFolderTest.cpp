#include "install/ProtectedFolder.h"

#include "tests/install/InstallTestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr uid_t nobody = 65534;

struct stat statusOf(const juce::File& file)
{
    struct stat status
    {
    };
    EXPECT_EQ(::lstat(file.getFullPathName().toRawUTF8(), &status), 0) << file.getFullPathName();
    return status;
}

void giveTo(const juce::File& file, uid_t owner)
{
    ASSERT_EQ(::lchown(file.getFullPathName().toRawUTF8(), owner, owner), 0) << file.getFullPathName();
}

void makeFile(const juce::File& file, const juce::String& text)
{
    ASSERT_TRUE(file.getParentDirectory().createDirectory());
    ASSERT_TRUE(file.replaceWithText(text));
}

// The entries of a folder whose names begin with the given text.
juce::StringArray namesStartingWith(const juce::File& folder, const juce::String& start)
{
    juce::StringArray names;
    for (const auto& entry : juce::RangedDirectoryIterator(
             folder, false, "*", juce::File::findFilesAndDirectories, juce::File::FollowSymlinks::no))
        if (entry.getFile().getFileName().startsWith(start))
            names.add(entry.getFile().getFileName());
    return names;
}

// A base folder that trustedTemporaryFolder would accept: root's, mode 0755, below the test's own folder.
struct TrustedBase
{
    ScopedTempFolder temp;
    juce::File base = temp.folder.getChildFile("tmp");

    TrustedBase()
    {
        EXPECT_TRUE(base.createDirectory());
        ::chmod(temp.folder.getFullPathName().toRawUTF8(), 0700);
        ::chmod(base.getFullPathName().toRawUTF8(), 0755);
    }
};
} // namespace

TEST(TrustedTemporaryFolder, TakesTmpdirOnlyWhenNoOneElseCanChangeItsPath)
{
    ASSERT_EQ(::geteuid(), 0u) << "these checks need root, as the installer runs";
    TrustedBase trusted;
    const juce::File foreign = trusted.base.getChildFile("nobodys");
    const juce::File openToAll = trusted.base.getChildFile("open/inner");
    const juce::File sticky = trusted.base.getChildFile("sticky/inner");
    const juce::File linked = trusted.base.getChildFile("linked");
    ASSERT_TRUE(foreign.createDirectory() && openToAll.createDirectory() && sticky.createDirectory());
    giveTo(foreign, nobody);
    ::chmod(openToAll.getParentDirectory().getFullPathName().toRawUTF8(), 0777);
    ::chmod(sticky.getParentDirectory().getFullPathName().toRawUTF8(), 01777);
    ASSERT_EQ(::symlink(trusted.base.getFullPathName().toRawUTF8(), linked.getFullPathName().toRawUTF8()), 0);

    const std::pair<juce::String, juce::String> cases[] = {
        {trusted.base.getFullPathName(), trusted.base.getFullPathName()},
        {sticky.getFullPathName(),
         sticky.getFullPathName()}, // a sticky folder above: its entries stay root's
        {trusted.base.getFullPathName() + "/", trusted.base.getFullPathName()},
        {foreign.getFullPathName(), "/tmp"},
        {openToAll.getFullPathName(), "/tmp"}, // another user could rename "inner" away
        {linked.getFullPathName(), "/tmp"},
        {trusted.base.getFullPathName() + "/../tmp", "/tmp"},
        {"relative/tmp", "/tmp"},
        {trusted.base.getChildFile("missing").getFullPathName(), "/tmp"},
    };
    for (const auto& [tmpdir, expected] : cases)
    {
        ScopedEnvironment environment({{"TMPDIR", tmpdir.toStdString()}});
        EXPECT_EQ(trustedTemporaryFolder().getFullPathName(), expected) << "TMPDIR=" << tmpdir;
    }
}

TEST(ProtectedFolder, EmptiedFolderIsRootsWithMode0755WhateverTheUmaskAndOnlyItIsEmptied)
{
    TrustedBase trusted;
    const juce::File outer = trusted.base.getChildFile("Tarnwell");
    const juce::File working = outer.getChildFile("StrellDriver");
    makeFile(working.getChildFile("Old_0.0.0.1/x64/Setup.exe"), "left by an earlier run");
    makeFile(outer.getChildFile("keep.txt"), "beside the working folder");
    ::chmod(outer.getFullPathName().toRawUTF8(), 0777);
    // A link inside the old folder: removed itself, what it points at is kept.
    const juce::File outside = trusted.temp.folder.getChildFile("outside/precious.txt");
    makeFile(outside, "not the installer's");
    ASSERT_EQ(::symlink(outside.getParentDirectory().getFullPathName().toRawUTF8(),
                        working.getChildFile("Old_0.0.0.1/drop").getFullPathName().toRawUTF8()),
              0);

    const mode_t callerMask = ::umask(0);
    {
        ProtectedFolder prepared =
            prepareProtectedFolder(trusted.base, "Tarnwell/StrellDriver", FolderStart::emptied);
        ASSERT_TRUE(prepared.isProtected());
        EXPECT_EQ(prepared.folder, working);
        EXPECT_EQ(working.getNumberOfChildFiles(juce::File::findFilesAndDirectories), 0);
        for (const juce::File& folder : {outer, working})
        {
            EXPECT_EQ(statusOf(folder).st_mode & 07777, 0755u) << folder.getFullPathName();
            EXPECT_EQ(statusOf(folder).st_uid, 0u);
        }
        // Folders made later inside, also by JUCE, are not writable by others either.
        ASSERT_TRUE(working.getChildFile("Package/x64").createDirectory());
        EXPECT_EQ(statusOf(working.getChildFile("Package/x64")).st_mode & 022, 0u);
        EXPECT_EQ(prepared.held.handles.size(), 3u); // the base, Tarnwell and StrellDriver
    }
    EXPECT_EQ(::umask(callerMask), 0u) << "the caller's umask was not put back";
    EXPECT_EQ(outer.getChildFile("keep.txt").loadFileAsString(), "beside the working folder");
    EXPECT_EQ(outside.loadFileAsString(), "not the installer's");
}

TEST(ProtectedFolder, AnotherUsersParentIsMovedAsideAndAFreshOneMade)
{
    TrustedBase trusted;
    const juce::File outer = trusted.base.getChildFile("Tarnwell");
    makeFile(outer.getChildFile("StrellDriver/x64/Setup.exe"), "planted");
    for (const juce::File& file :
         {outer, outer.getChildFile("StrellDriver"), outer.getChildFile("StrellDriver/x64"),
          outer.getChildFile("StrellDriver/x64/Setup.exe")})
        giveTo(file, nobody);
    ::chmod(outer.getFullPathName().toRawUTF8(), 0777);

    ProtectedFolder prepared =
        prepareProtectedFolder(trusted.base, "Tarnwell/StrellDriver", FolderStart::emptied);
    ASSERT_TRUE(prepared.isProtected());
    EXPECT_EQ(statusOf(outer).st_uid, 0u);
    EXPECT_EQ(statusOf(outer).st_mode & 07777, 0755u);
    EXPECT_EQ(prepared.folder.getNumberOfChildFiles(juce::File::findFilesAndDirectories), 0);

    // The other user's tree is left to its owner, whole, under a name of its own.
    const juce::StringArray aside = namesStartingWith(trusted.base, "Tarnwell.untrusted-");
    ASSERT_EQ(aside.size(), 1) << aside.joinIntoString(", ");
    const juce::File moved = trusted.base.getChildFile(aside[0]);
    EXPECT_EQ(moved.getChildFile("StrellDriver/x64/Setup.exe").loadFileAsString(), "planted");
    EXPECT_EQ(statusOf(moved).st_uid, nobody);
    EXPECT_EQ(prepared.movedAside, juce::StringArray(moved.getFullPathName()))
        << "the record does not say so";
}

TEST(ProtectedFolder, LinksInTheWayAreNeverFollowed)
{
    TrustedBase trusted;
    const juce::File target = trusted.temp.folder.getChildFile("elsewhere");
    makeFile(target.getChildFile("StrellDriver/precious.txt"), "kept");
    const juce::File outer = trusted.base.getChildFile("Tarnwell");

    // Another user's link named Tarnwell: moved aside like their folder.
    ASSERT_EQ(::symlink(target.getFullPathName().toRawUTF8(), outer.getFullPathName().toRawUTF8()), 0);
    giveTo(outer, nobody);
    {
        ProtectedFolder prepared =
            prepareProtectedFolder(trusted.base, "Tarnwell/StrellDriver", FolderStart::emptied);
        ASSERT_TRUE(prepared.isProtected());
        EXPECT_TRUE(S_ISDIR(statusOf(outer).st_mode));
        EXPECT_EQ(target.getChildFile("StrellDriver/precious.txt").loadFileAsString(), "kept");
        EXPECT_EQ(namesStartingWith(trusted.base, "Tarnwell.untrusted-").size(), 1);
    }

    // A link where the working folder goes: the link is removed, not what it points at.
    const juce::File working = outer.getChildFile("StrellDriver");
    ASSERT_TRUE(working.deleteRecursively());
    ASSERT_EQ(::symlink(target.getChildFile("StrellDriver").getFullPathName().toRawUTF8(),
                        working.getFullPathName().toRawUTF8()),
              0);
    {
        ProtectedFolder prepared =
            prepareProtectedFolder(trusted.base, "Tarnwell/StrellDriver", FolderStart::emptied);
        ASSERT_TRUE(prepared.isProtected());
        EXPECT_TRUE(S_ISDIR(statusOf(working).st_mode));
        EXPECT_EQ(target.getChildFile("StrellDriver/precious.txt").loadFileAsString(), "kept");
    }

    // Root's own link or file named Tarnwell is nobody else's doing: the step fails and leaves it alone.
    ASSERT_TRUE(outer.deleteRecursively());
    ASSERT_EQ(::symlink(target.getFullPathName().toRawUTF8(), outer.getFullPathName().toRawUTF8()), 0);
    EXPECT_FALSE(
        prepareProtectedFolder(trusted.base, "Tarnwell/StrellDriver", FolderStart::emptied).isProtected());
    EXPECT_TRUE(outer.isSymbolicLink());
    EXPECT_EQ(target.getChildFile("StrellDriver/precious.txt").loadFileAsString(), "kept");
}

TEST(ProtectedFolder, KeptFolderKeepsItsContentsAndUnsafePathsAreRefused)
{
    TrustedBase trusted;
    makeFile(trusted.base.getChildFile("Tarnwell/Logs/run.log"), "earlier");
    {
        ProtectedFolder prepared = prepareProtectedFolder(trusted.base, "Tarnwell/Logs", FolderStart::kept);
        ASSERT_TRUE(prepared.isProtected());
        EXPECT_EQ(prepared.folder.getChildFile("run.log").loadFileAsString(), "earlier");
    }

    for (const char* path : {"", "Tarnwell/../StrellDriver", "Tarnwell//StrellDriver", "./StrellDriver"})
        EXPECT_FALSE(prepareProtectedFolder(trusted.base, path, FolderStart::emptied).isProtected()) << path;
    EXPECT_FALSE(prepareProtectedFolder(juce::File(), "Tarnwell", FolderStart::kept).isProtected());

    // A base that others may write to is not trusted, whatever its caller says.
    ::chmod(trusted.base.getFullPathName().toRawUTF8(), 0777);
    EXPECT_FALSE(prepareProtectedFolder(trusted.base, "Tarnwell/Logs", FolderStart::kept).isProtected());
}

TEST(ProtectedFile, IsMadeExclusivelyWrittenHeldAndRemoved)
{
    TrustedBase trusted;
    const mode_t callerMask = ::umask(0);
    ProtectedFile first = createProtectedFile(trusted.base);
    ProtectedFile second = createProtectedFile(trusted.base);
    ::umask(callerMask);
    ASSERT_TRUE(first.writing.isOpen());
    ASSERT_TRUE(second.writing.isOpen());
    EXPECT_NE(first.file, second.file);
    EXPECT_EQ(first.file.getParentDirectory(), trusted.base);
    EXPECT_TRUE(first.file.getFileName().matchesWildcard("temp_????????????????", false))
        << first.file.getFileName();
    EXPECT_TRUE(first.file.getFileName().substring(5).containsOnly("0123456789abcdef"));
    EXPECT_EQ(statusOf(first.file).st_mode & 07777, 0644u);

    const std::string body(70000, 'z');
    ASSERT_TRUE(writeNewFile(first.writing, body.data(), body.size()));
    ASSERT_TRUE(finishProtectedFile(first));
    EXPECT_FALSE(first.writing.isOpen());
    EXPECT_EQ(first.reading.handles.size(), 1u);
    EXPECT_EQ(first.file.loadFileAsString().toStdString(), body);
    EXPECT_FALSE(finishProtectedFile(first)) << "finished twice";

    const juce::File firstPath = first.file;
    EXPECT_TRUE(removeProtectedFile(first));
    EXPECT_FALSE(firstPath.exists());
    EXPECT_EQ(first.file, juce::File());

    // Not finished and not removed: the record's end removes it.
    const juce::File secondPath = second.file;
    {
        ProtectedFile moved = std::move(second);
        EXPECT_TRUE(secondPath.existsAsFile());
    }
    EXPECT_FALSE(secondPath.exists());
    EXPECT_EQ(createProtectedFile(juce::File()).file, juce::File());
}

TEST(ProtectedFile, FinishingFailsWhenTheNameNoLongerHoldsTheFileWritten)
{
    TrustedBase trusted;
    ProtectedFile file = createProtectedFile(trusted.base);
    ASSERT_TRUE(file.writing.isOpen());
    const juce::File path = file.file;
    ASSERT_TRUE(path.deleteFile());
    ASSERT_TRUE(path.replaceWithText("another file"));
    EXPECT_FALSE(finishProtectedFile(file));
    EXPECT_TRUE(file.reading.handles.empty());
}

TEST(FileLock, OneHolderAtATimeAndNothingButARegularFileOfOurs)
{
    TrustedBase trusted;
    ProtectedFolder folder = prepareProtectedFolder(trusted.base, "Tarnwell", FolderStart::kept);
    ASSERT_TRUE(folder.isProtected());
    {
        FileLock first = lockFileIn(folder, "run.lock");
        EXPECT_EQ(first.outcome, LockOutcome::taken);
        EXPECT_EQ(lockFileIn(folder, "run.lock").outcome, LockOutcome::heldByAnother);
    }
    EXPECT_EQ(lockFileIn(folder, "run.lock").outcome, LockOutcome::taken) << "not let go with its record";

    // A pipe must not block the run; a link, a folder or another user's file is no lock of ours.
    const juce::File inFolder = folder.folder;
    ASSERT_EQ(::mkfifo(inFolder.getChildFile("pipe.lock").getFullPathName().toRawUTF8(), 0644), 0);
    ASSERT_EQ(::symlink("run.lock", inFolder.getChildFile("link.lock").getFullPathName().toRawUTF8()), 0);
    ASSERT_TRUE(inFolder.getChildFile("folder.lock").createDirectory());
    makeFile(inFolder.getChildFile("nobodys.lock"), "");
    giveTo(inFolder.getChildFile("nobodys.lock"), nobody);
    for (const char* name : {"pipe.lock", "link.lock", "folder.lock", "nobodys.lock", "", "a/b"})
        EXPECT_EQ(lockFileIn(folder, name).outcome, LockOutcome::failed) << name;
    EXPECT_EQ(lockFileIn(ProtectedFolder(), "run.lock").outcome, LockOutcome::failed);
}
