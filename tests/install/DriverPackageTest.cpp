#include "install/DriverPackage.h"
#include "app/InstallerExitCode.h"
#include "base/Limits.h"
#include "install/EntryNames.h"
#include "tests/install/InstallTestSupport.h"

#include <gtest/gtest.h>

#include <ostream>

namespace
{
constexpr int setupExitCode = 42;

class DriverPackage : public ::testing::Test
{
protected:
    ScopedTempFolder temp;
    juce::File workingFolder = temp.folder.getChildFile("Tarnwell/StrellDriver");
    juce::File download = temp.folder.getChildFile("download-7c1e.tmp");
    juce::File recordFile = temp.folder.getChildFile("record.jsonl");
    ScopedEnvironment environment{{{"FAKE_SETUP_RECORD", recordFile.getFullPathName().toStdString()},
                                   {"FAKE_SETUP_EXIT_CODE", std::to_string(setupExitCode)}}};
    juce::MemoryBlock setupProgram = bytesOf(fakeSetupProgram());

    void SetUp() override { ASSERT_TRUE(workingFolder.createDirectory()); }

    // Takes the package file name; gives back installDriverPackage's result, with std::clog collected.
    int install(const juce::String& packageFileName)
    {
        ClogCapture clog;
        const int result = installDriverPackage(packageFileName, download, workingFolder);
        clogText = clog.text();
        return result;
    }

    // The paths of the setup programs that ran, in order.
    juce::StringArray programsRun()
    {
        juce::StringArray paths;

        if (recordFile.exists())
            for (auto& record : readRecords(recordFile))
                paths.add(record["path"].toString());

        return paths;
    }

    std::string clogText;
};

TEST_F(DriverPackage, SetupProgramPathOnThisBuildIsTheX64Folder)
{
    if (!juce::SystemStats::isOperatingSystem64Bit())
        GTEST_SKIP() << "written for a 64-bit OS";

    const auto folder = temp.folder.getChildFile("Driver");
    EXPECT_EQ(setupProgramPathFor(folder), folder.getFullPathName() + "/x64/Setup.exe");
}

struct NameCase
{
    const char* packageFileName;
    const char* packageFolder; // relative to the working folder
};

// Names the case by its package file name in test listings.
void PrintTo(const NameCase& nameCase, std::ostream* out)
{
    *out << nameCase.packageFileName;
}

class PackageFolderName : public DriverPackage, public ::testing::WithParamInterface<NameCase>
{
};

TEST_P(PackageFolderName, SelectsTheSetupProgramToRun)
{
    const juce::String folder = GetParam().packageFolder;
    const auto setupEntry = (folder.isEmpty() ? "" : folder + "/") + "x64/Setup.exe";
    writeZip(download, {{setupEntry, setupProgram}, {"readme.txt", bytesOf("Tarnwell driver")}});

    EXPECT_EQ(install(GetParam().packageFileName), setupExitCode);
    EXPECT_EQ(programsRun(), juce::StringArray(workingFolder.getChildFile(setupEntry).getFullPathName()));
    EXPECT_EQ(clogText, "");
}

INSTANTIATE_TEST_SUITE_P(Names, PackageFolderName,
                         ::testing::Values(NameCase{"StrellDriver_5.2.zip", "StrellDriver_5.2"},
                                           NameCase{"StrellDriver.ZIP", "StrellDriver"},
                                           NameCase{"StrellDriver.ZiP", "StrellDriver"},
                                           NameCase{"StrellDriver.zip.zip", "StrellDriver"},
                                           NameCase{"StrellDriver.Zip.ZIP", "StrellDriver"},
                                           NameCase{"Strell.zipped.zip", "Strellped"},
                                           NameCase{"StrellDriverzip", "StrellDriverzip"},
                                           NameCase{".zip", ""}));

// The Linux build looks in x64 only: neither x64_Win10 nor x86 stands in for it, and x64 wins over both.
TEST_F(DriverPackage, OnlyTheFolderForThisSystemIsTried)
{
    if (!juce::SystemStats::isOperatingSystem64Bit())
        GTEST_SKIP() << "written for a 64-bit OS";

    writeZip(download,
             {{"Driver/x64_Win10/Setup.exe", setupProgram}, {"Driver/x86/Setup.exe", setupProgram}});
    EXPECT_EQ(install("Driver.zip"), setupProgramMissing);
    EXPECT_TRUE(programsRun().isEmpty());

    writeZip(download,
             {{"Driver/x64_Win10/Setup.exe", setupProgram}, {"Driver/x64/Setup.exe", setupProgram}});
    EXPECT_EQ(install("Driver.zip"), setupExitCode);
    EXPECT_EQ(programsRun(), juce::StringArray(workingFolder.getFullPathName() + "/Driver/x64/Setup.exe"));
}

TEST_F(DriverPackage, DownloadThatIsNoArchiveGivesSetupProgramMissingSilently)
{
    const std::vector<std::pair<const char*, juce::String>> downloads{
        {"html page", "<!DOCTYPE html>\n<html><body><h1>502 Bad Gateway</h1></body></html>\n"},
        {"empty file", ""}};

    for (auto& [what, content] : downloads)
    {
        ASSERT_TRUE(download.replaceWithText(content));
        EXPECT_EQ(install("Driver.zip"), setupProgramMissing) << what;
        EXPECT_EQ(clogText, "") << what;
    }

    ASSERT_TRUE(download.deleteFile());
    EXPECT_EQ(install("Driver.zip"), setupProgramMissing) << "missing file";
    EXPECT_EQ(clogText, "") << "missing file";
    EXPECT_TRUE(programsRun().isEmpty());
}

// An entry outside the working folder stops the unpacking: what came before it stays, nothing after it is
// written, and the setup program, although unpacked already, is not run.
TEST_F(DriverPackage, FailingEntryMidwayGivesDriverPackageFailed)
{
    writeZip(download, {{"Driver/readme.txt", bytesOf("before")},
                        {"Driver/x64/Setup.exe", setupProgram},
                        {"../x", bytesOf("escaped")},
                        {"Driver/after.txt", bytesOf("after")}});

    EXPECT_EQ(install("Driver.zip"), driverPackageFailed);
    EXPECT_EQ(clogText, "zip error:Entry ../x is outside the target directory\n");
    EXPECT_EQ(workingFolder.getChildFile("Driver/readme.txt").loadFileAsString(), "before");
    EXPECT_TRUE(workingFolder.getChildFile("Driver/x64/Setup.exe").existsAsFile());
    EXPECT_FALSE(workingFolder.getChildFile("Driver/after.txt").exists());
    EXPECT_FALSE(workingFolder.getSiblingFile("x").exists());
    EXPECT_TRUE(programsRun().isEmpty());
}

TEST_F(DriverPackage, FolderNamedSetupExeIsNoSetupProgram)
{
    writeZip(download, {{"Driver/x64/Setup.exe/readme.txt", bytesOf("a folder, not a program")}});

    EXPECT_EQ(install("Driver.zip"), setupProgramMissing);
    EXPECT_TRUE(workingFolder.getChildFile("Driver/x64/Setup.exe").isDirectory());
    EXPECT_EQ(clogText, "");
}

TEST_F(DriverPackage, FilesAlreadyInTheWorkingFolderAreOverwritten)
{
    ASSERT_TRUE(workingFolder.getChildFile("Driver/x64").createDirectory());
    ASSERT_TRUE(
        workingFolder.getChildFile("Driver/x64/Setup.exe").replaceWithText("left from an earlier run"));
    ASSERT_TRUE(
        workingFolder.getChildFile("Driver/notes.txt").replaceWithText("old notes, longer than the new"));
    writeZip(download, {{"Driver/notes.txt", bytesOf("new notes")}, {"Driver/x64/Setup.exe", setupProgram}});

    EXPECT_EQ(install("Driver.zip"), setupExitCode);
    EXPECT_EQ(workingFolder.getChildFile("Driver/notes.txt").loadFileAsString(), "new notes");
    EXPECT_EQ(programsRun().size(), 1);
}

// The package file name comes from the download address; one that leads out of the working folder must
// not get a program run that was not unpacked there.
TEST_F(DriverPackage, NameLeadingOutsideTheWorkingFolderRunsNothing)
{
    const auto planted = workingFolder.getSiblingFile("Outside/x64/Setup.exe");
    ASSERT_TRUE(planted.getParentDirectory().createDirectory());
    ASSERT_TRUE(fakeSetupProgram().copyFileTo(planted));
    writeZip(download, {{"readme.txt", bytesOf("Tarnwell driver")}});

    EXPECT_EQ(install("../Outside.zip"), setupProgramMissing);
    EXPECT_EQ(install(planted.getParentDirectory().getParentDirectory().getFullPathName()),
              setupProgramMissing);
    EXPECT_TRUE(programsRun().isEmpty());
    EXPECT_EQ(clogText, "");
}
} // namespace

namespace
{
// Archives with a link entry or a name that is not UTF-8 are refused before any entry is written.
TEST_F(DriverPackage, ArchivesWithLinkEntriesOrNonUtf8NamesAreRefused)
{
    const juce::File regressions(STRELL_FUZZ_REGRESSIONS);

    ASSERT_TRUE(regressions.getChildFile("entry-name-with-invalid-utf8.zip").copyFileTo(download));
    EXPECT_EQ(install("Tarnwell_Corvel2_4.3.0.118.zip"), driverPackageFailed);
    EXPECT_EQ(clogText, "zip error:Entry name is not valid UTF-8\n");
    EXPECT_EQ(workingFolder.getNumberOfChildFiles(juce::File::findFilesAndDirectories), 0);

    ASSERT_TRUE(regressions.getChildFile("link-entry-then-file-of-same-name.zip").copyFileTo(download));
    EXPECT_EQ(install("pkg.zip"), driverPackageFailed);
    EXPECT_EQ(clogText, "zip error:Entry pkg/link is a symbolic link\n");
    EXPECT_EQ(workingFolder.getNumberOfChildFiles(juce::File::findFilesAndDirectories), 0);
    EXPECT_FALSE(workingFolder.getParentDirectory().getSiblingFile("escaped-through-link.txt").exists());
    EXPECT_TRUE(programsRun().isEmpty());
}
} // namespace

namespace
{
// A package with two entries that are one file on Windows is refused before anything is written: the entry
// a reader of the package sees first is never replaced by the one that would run.
TEST_F(DriverPackage, EntriesThatAreOneFileOnWindowsAreRefusedBeforeAnythingIsWritten)
{
    const std::vector<std::pair<juce::String, juce::String>> twins{
        {"Driver/X64/SETUP.EXE", "names the same file on Windows as entry Driver/x64/Setup.exe"},
        {"Driver/x64/Setup.exe.",
         "cannot be unpacked under that name on Windows: \"Setup.exe.\" ends in a dot"},
        {"Driver/x64/Setup.exe:payload",
         "cannot be unpacked under that name on Windows: \"Setup.exe:payload\" "
         "holds a colon (a drive or a stream of a file)"}};

    for (const auto& [twin, why] : twins)
    {
        writeZip(download, {{"Driver/readme.txt", bytesOf("notes")},
                            {"Driver/x64/Setup.exe", setupProgram},
                            {twin, bytesOf("#!/bin/sh\nexit 3\n")}});
        EXPECT_EQ(install("Driver.zip"), driverPackageFailed) << twin;
        EXPECT_EQ(clogText, ("zip error:Entry " + twin + " " + why + "\n").toStdString());
        EXPECT_EQ(workingFolder.getNumberOfChildFiles(juce::File::findFilesAndDirectories), 0) << twin;
    }
    EXPECT_TRUE(programsRun().isEmpty());
}

// Full paths up to what Windows opens unpack; one unit more is refused before anything is written, naming
// the path. The limits count the whole path, the working folder's own included.
TEST_F(DriverPackage, PathsPastWhatWindowsOpensAreRefusedBeforeAnythingIsWritten)
{
    const auto base = workingFolder.getFullPathName() + "/";
    const int room = maxUnpackedFilePathChars - utf16Length(base + "Driver/f/");
    ASSERT_GT(room, 10) << "the temporary folder's path is too long for this test";
    const auto fileAtLimit = "Driver/f/" + juce::String::repeatedString("a", room);
    const auto folderAtLimit =
        "Driver/" +
        juce::String::repeatedString("d", maxUnpackedFolderPathChars - utf16Length(base + "Driver/"));

    writeZip(download, {{"Driver/x64/Setup.exe", setupProgram},
                        {fileAtLimit, bytesOf("at the limit")},
                        {folderAtLimit + "/", {}}});
    EXPECT_EQ(install("Driver.zip"), setupExitCode);
    EXPECT_EQ(clogText, "");
    EXPECT_EQ(utf16Length(workingFolder.getChildFile(fileAtLimit).getFullPathName()),
              maxUnpackedFilePathChars);
    EXPECT_TRUE(workingFolder.getChildFile(fileAtLimit).existsAsFile());
    EXPECT_TRUE(workingFolder.getChildFile(folderAtLimit).isDirectory());

    const std::vector<std::pair<juce::String, juce::String>> pastTheLimits{
        {fileAtLimit + "b", " would be unpacked to " + base + fileAtLimit + "b, a path of " +
                                juce::String(maxUnpackedFilePathChars + 1) +
                                " UTF-16 units: Windows opens files of at most " +
                                juce::String(maxUnpackedFilePathChars)},
        {folderAtLimit + "e/", " needs the folder " + base + folderAtLimit + "e, a path of " +
                                   juce::String(maxUnpackedFolderPathChars + 1) +
                                   " UTF-16 units: Windows makes folders of at most " +
                                   juce::String(maxUnpackedFolderPathChars)},
        {folderAtLimit + "e/x", " needs the folder " + base + folderAtLimit + "e, a path of " +
                                    juce::String(maxUnpackedFolderPathChars + 1) +
                                    " UTF-16 units: Windows makes folders of at most " +
                                    juce::String(maxUnpackedFolderPathChars)}};
    for (const auto& [entry, why] : pastTheLimits)
    {
        ASSERT_TRUE(workingFolder.deleteRecursively() && workingFolder.createDirectory());
        writeZip(download, {{"Driver/x64/Setup.exe", setupProgram}, {entry, bytesOf("past the limit")}});
        EXPECT_EQ(install("Driver.zip"), driverPackageFailed) << entry;
        EXPECT_EQ(clogText, ("zip error:Entry " + entry + why + "\n").toStdString());
        EXPECT_EQ(workingFolder.getNumberOfChildFiles(juce::File::findFilesAndDirectories), 0) << entry;
    }
    EXPECT_EQ(programsRun().size(), 1);
}
} // namespace
