// The run log written into real folders: its name form, held lines, pruning, links, the size limit and
// the escaping of text from outside.
#include "base/RunLog.h"
#include "app/InstallerExitCode.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace
{
struct RunLog : testing::Test
{
    juce::TemporaryFile scratch{"strell-run-log"};
    juce::File folder;

    void SetUp() override
    {
        folder = scratch.getFile();
        ASSERT_TRUE(folder.createDirectory());
    }

    void TearDown() override { folder.deleteRecursively(); }

    juce::Array<juce::File> logs() const
    {
        auto found =
            folder.findChildFiles(juce::File::findFilesAndDirectories, false, "StrellDriverInstaller-*");
        found.sort();
        return found;
    }

    // Plants an old log of the given time stamp (and suffix) with its own text.
    juce::File plant(const juce::String& name)
    {
        const auto file = folder.getChildFile(name);
        const auto text = "old " + name + "\n";
        EXPECT_TRUE(file.replaceWithData(text.toRawUTF8(), text.getNumBytesAsUTF8()));
        return file;
    }
};

// Takes a log's text; gives back its lines without the time column.
juce::StringArray eventsOf(const juce::String& text)
{
    juce::StringArray events;
    for (const auto& line : juce::StringArray::fromLines(text.trimEnd()))
    {
        EXPECT_TRUE(line.matchesWildcard("* ms  *", false)) << line;
        events.add(line.fromFirstOccurrenceOf(" ms  ", false, false));
    }
    return events;
}
} // namespace

TEST(RunLogNames, formAndOrderFollowTheTimeInTheName)
{
    const juce::Time start(2026, 11, 9, 17, 42, 19, 0, true);
    EXPECT_EQ(runLogFileName(start, 1), "StrellDriverInstaller-20261209-174219.log");
    EXPECT_EQ(runLogFileName(start, 3), "StrellDriverInstaller-20261209-174219-3.log");

    const juce::StringArray names{
        "StrellDriverInstaller-20261209-174219-2.log",   "StrellDriverInstaller-20270101-000000.log",
        "StrellDriverInstaller-20261209-174219.log",     "StrellDriverInstaller-20251231-235959.log",
        "StrellDriverInstaller-20261209-174219-10.log",  "StrellDriverInstaller-2026120-174219.log",
        "StrellDriverInstaller-20261209-174219.log.txt", "strelldriverinstaller-20261209-174219.log",
        "StrellDriverInstaller-2026x209-174219.log",     "notes.txt"};
    EXPECT_EQ(runLogNamesOldestFirst(names),
              (juce::StringArray{"StrellDriverInstaller-20251231-235959.log",
                                 "StrellDriverInstaller-20261209-174219.log",
                                 "StrellDriverInstaller-20261209-174219-2.log",
                                 "StrellDriverInstaller-20270101-000000.log"}));
}

TEST(RunLogText, outsideTextStaysOnOneQuotedLine)
{
    EXPECT_EQ(outsideText("USB\\VID_2E7A&PID_A823\\1"), "\"USB\\\\VID_2E7A&PID_A823\\\\1\"");
    EXPECT_EQ(outsideText("a\nb\r\tc\"d"), "\"a\\nb\\r\\tc\\\"d\"");
    EXPECT_EQ(outsideText(juce::String::charToString(0x1b) + "[2J" + juce::String::charToString(0x85) +
                          juce::String::charToString(0x2028) + juce::String::charToString(0xe9)),
              "\"\\x1b[2J\\x85\\u{2028}" + juce::String::charToString(0xe9) + "\"");

    const auto longText = juce::String::repeatedString("x", outsideTextLimit + 25);
    EXPECT_EQ(outsideText(longText),
              "\"" + longText.substring(0, outsideTextLimit) + "\"... (25 more characters)");
}

TEST_F(RunLog, heldLinesReachTheFileAndTheExitLineComesLast)
{
    logRunEvent("before any start: dropped");
    startRunLog();
    logRunEvent("first, held");
    noteExitReason("the catalogue has no entry for product id 0xaa0b");
    placeRunLog(folder);
    logRunEvent("second, written at once");

    const auto files = logs();
    ASSERT_EQ(files.size(), 1);
    EXPECT_TRUE(files[0].getFileName().matchesWildcard("StrellDriverInstaller-*.log", false));
    // Flushed as written: a run that is killed now keeps both lines.
    EXPECT_EQ(eventsOf(files[0].loadFileAsString()),
              (juce::StringArray{"first, held", "second, written at once"}));

    finishRunLog(driverPackageFailed);
    EXPECT_EQ(
        eventsOf(files[0].loadFileAsString()),
        (juce::StringArray{"first, held", "second, written at once",
                           "exit -3 driverPackageFailed: the catalogue has no entry for product id 0xaa0b"}));

    // After the exit line the log is over: nothing more reaches the file.
    logRunEvent("after the end");
    EXPECT_FALSE(files[0].loadFileAsString().contains("after the end"));
}

TEST_F(RunLog, exitLinesNameWhoChoseTheCode)
{
    const std::pair<int, juce::String> ends[] = {{notElevated, "notElevated"},
                                                 {setupProgramMissing, "setupProgramMissing"},
                                                 {noSupportedDevice, "noSupportedDevice"}};
    for (const auto& [code, name] : ends)
    {
        startRunLog();
        placeRunLog(folder);
        noteExitReason("why " + name);
        finishRunLog(code);
    }
    // The setup program's own -3 is not the installer's: the name says so, and an amendment is not added.
    startRunLog();
    placeRunLog(folder);
    noteExitReason("the setup program exited with -3", ExitSource::setupProgram);
    amendExitReason(" (the server answered HTTP 404)");
    finishRunLog(driverPackageFailed);
    startRunLog();
    placeRunLog(folder);
    finishRunLog(0);

    juce::StringArray lastLines;
    for (const auto& file : logs())
        lastLines.add(eventsOf(file.loadFileAsString()).strings.getLast());
    lastLines.sort(false);
    EXPECT_EQ(lastLines,
              (juce::StringArray{"exit -3 setupProgramExitCode: the setup program exited with -3",
                                 "exit -4 noSupportedDevice: why noSupportedDevice",
                                 "exit -5 setupProgramMissing: why setupProgramMissing",
                                 "exit -6 notElevated: why notElevated", "exit 0: no reason was recorded"}));
}

TEST_F(RunLog, pruningKeepsTheTenNewestRegularFilesOfItsNameOnly)
{
    juce::Array<juce::File> old;
    for (int day = 10; day <= 21; ++day)
        old.add(plant("StrellDriverInstaller-202501" + juce::String(day) + "-120000.log"));
    const auto sameSecond = plant("StrellDriverInstaller-20250121-120000-2.log");
    const auto other = plant("notes.txt");
    const auto target = plant("target.txt");
    // The oldest names of all: a link and a folder, which pruning must leave alone.
    const auto link = folder.getChildFile("StrellDriverInstaller-20240101-000000.log");
    ASSERT_EQ(::symlink(target.getFullPathName().toRawUTF8(), link.getFullPathName().toRawUTF8()), 0);
    const auto subfolder = folder.getChildFile("StrellDriverInstaller-20240101-000001.log");
    ASSERT_TRUE(subfolder.createDirectory());
    // Names from the future and another user's file are no logs of this installer's: they neither count
    // (ten of them would push the new log itself out) nor go.
    ASSERT_EQ(::geteuid(), 0u) << "another user's file needs root to make";
    juce::Array<juce::File> planted;
    for (int day = 10; day < 20; ++day)
        planted.add(plant("StrellDriverInstaller-299901" + juce::String(day) + "-000000.log"));
    const auto othersOld = plant("StrellDriverInstaller-20200101-000000.log");
    ASSERT_EQ(::chown(othersOld.getFullPathName().toRawUTF8(), 65534, 65534), 0);

    startRunLog();
    placeRunLog(folder);
    finishRunLog(0);
    for (const auto& file : planted)
        EXPECT_TRUE(file.existsAsFile()) << file.getFileName();
    EXPECT_TRUE(othersOld.existsAsFile());

    // 13 old files and the new one: the four oldest files go, the link, the folder and the rest stay.
    for (int i = 0; i < 4; ++i)
        EXPECT_FALSE(old[i].exists()) << old[i].getFileName();
    for (int i = 4; i < old.size(); ++i)
        EXPECT_TRUE(old[i].existsAsFile()) << old[i].getFileName();
    EXPECT_TRUE(sameSecond.existsAsFile());
    EXPECT_TRUE(link.isSymbolicLink());
    EXPECT_TRUE(subfolder.isDirectory());
    EXPECT_TRUE(other.existsAsFile());
    EXPECT_EQ(target.loadFileAsString(), juce::String("old target.txt\n"));
    EXPECT_EQ(logs().size(), 10 + 2 + 10 + 1);
}

TEST_F(RunLog, aTakenNameIsNeverOpenedOrFollowed)
{
    // Links where this second's and the next second's log would go.
    const auto target = plant("target.txt");
    const auto now = juce::Time::getCurrentTime();
    for (const auto& when : {now, now + juce::RelativeTime::seconds(1.0)})
        ASSERT_EQ(::symlink(target.getFullPathName().toRawUTF8(),
                            folder.getChildFile(runLogFileName(when, 1)).getFullPathName().toRawUTF8()),
                  0);

    startRunLog();
    placeRunLog(folder);
    logRunEvent("into a file of its own");
    finishRunLog(0);

    EXPECT_EQ(target.loadFileAsString(), juce::String("old target.txt\n"));
    const auto suffixed =
        folder.findChildFiles(juce::File::findFiles, false, "StrellDriverInstaller-*-2.log");
    ASSERT_EQ(suffixed.size(), 1);
    EXPECT_TRUE(suffixed[0].loadFileAsString().contains("into a file of its own"));
}

TEST_F(RunLog, withoutAPlaceNothingIsWrittenAnywhere)
{
    startRunLog();
    logRunEvent("held");
    placeRunLog(juce::File());
    logRunEvent("dropped");
    finishRunLog(notElevated);
    EXPECT_EQ(folder.getNumberOfChildFiles(juce::File::findFilesAndDirectories), 0);

    // A folder that is not there: no file, and no folder made.
    const auto missing = folder.getChildFile("missing");
    startRunLog();
    placeRunLog(missing);
    finishRunLog(notElevated);
    EXPECT_FALSE(missing.exists());
}

TEST_F(RunLog, aFullLogKeepsItsExitLine)
{
    startRunLog();
    placeRunLog(folder);
    const auto event = juce::String::repeatedString("e", 1000);
    for (int i = 0; i < 1200; ++i)
        logRunEvent(event);
    noteExitReason("the end");
    finishRunLog(driverPackageFailed);

    const auto file = logs()[0];
    EXPECT_LE(file.getSize(), runLogByteLimit);
    const auto events = eventsOf(file.loadFileAsString());
    EXPECT_EQ(events.strings.getLast(), "exit -3 driverPackageFailed: the end");
    int fullNotes = 0;
    for (const auto& line : events)
        fullNotes += line.startsWith("the log is full") ? 1 : 0;
    EXPECT_EQ(fullNotes, 1);
    EXPECT_GT(events.size(), 1000);
}
