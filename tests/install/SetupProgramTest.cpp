#include "install/SetupProgram.h"
#include "app/InstallerExitCode.h"
#include "tests/install/InstallTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// A copy of the stand-in at the given place, without execute permission, as an unpacked archive leaves it.
juce::File placeSetupProgram(const juce::File& target)
{
    EXPECT_TRUE(target.getParentDirectory().createDirectory());
    EXPECT_TRUE(fakeSetupProgram().copyFileTo(target));
    chmod(target.getFullPathName().toRawUTF8(), 0644);
    return target;
}

mode_t permissionsOf(const juce::File& file)
{
    struct stat info = {};
    EXPECT_EQ(stat(file.getFullPathName().toRawUTF8(), &info), 0);
    return info.st_mode & 07777;
}

// Sends the process's own standard output and standard error (the descriptors, so C and C++ streams alike)
// into files for the scope.
struct StandardStreamsCapture
{
    explicit StandardStreamsCapture(const juce::File& folder)
        : outFile(folder.getChildFile("own-stdout")), errFile(folder.getChildFile("own-stderr"))
    {
        flushAll();
        savedOut = dup(STDOUT_FILENO);
        savedErr = dup(STDERR_FILENO);
        redirect(outFile, STDOUT_FILENO);
        redirect(errFile, STDERR_FILENO);
    }

    ~StandardStreamsCapture()
    {
        flushAll();
        dup2(savedOut, STDOUT_FILENO);
        dup2(savedErr, STDERR_FILENO);
        close(savedOut);
        close(savedErr);
    }

    static void flushAll()
    {
        std::cout.flush();
        std::cerr.flush();
        std::clog.flush();
        std::fflush(nullptr);
    }

    static void redirect(const juce::File& file, int descriptor)
    {
        const int fd = open(file.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_GE(fd, 0);
        dup2(fd, descriptor);
        close(fd);
    }

    juce::File outFile, errFile;
    int savedOut = -1, savedErr = -1;
};

// Leaves the process without a free file descriptor for the scope, so that no pipe can be made.
struct ExhaustedFileDescriptors
{
    ExhaustedFileDescriptors()
    {
        getrlimit(RLIMIT_NOFILE, &saved);
        rlimit lowered = saved;
        lowered.rlim_cur = 256;
        EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);

        for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;)
            held.push_back(fd);
    }

    ~ExhaustedFileDescriptors()
    {
        for (int fd : held)
            close(fd);

        setrlimit(RLIMIT_NOFILE, &saved);
    }

    rlimit saved = {};
    std::vector<int> held;
};

class SetupProgramRun : public ::testing::Test
{
protected:
    ScopedTempFolder temp;
    juce::File recordFile = temp.folder.getChildFile("record.jsonl");
};

class SetupProgramExitCode : public SetupProgramRun, public ::testing::WithParamInterface<int>
{
};

// The stand-in ends at once, well inside the first wait slice.
TEST_P(SetupProgramExitCode, IsPassedOnUnchanged)
{
    const auto program = placeSetupProgram(temp.folder.getChildFile("Setup.exe"));
    ScopedEnvironment environment{{{"FAKE_SETUP_RECORD", recordFile.getFullPathName().toStdString()},
                                   {"FAKE_SETUP_EXIT_CODE", std::to_string(GetParam())}}};

    EXPECT_EQ(runSetupProgram(program.getFullPathName()), GetParam());
    EXPECT_EQ(readRecords(recordFile).size(), 1);
}

INSTANTIATE_TEST_SUITE_P(Codes, SetupProgramExitCode, ::testing::Values(0, 1, 253));

TEST_F(SetupProgramRun, ExitCodeOfAProgramThatOutlivesManyWaitSlices)
{
    const auto program = placeSetupProgram(temp.folder.getChildFile("Setup.exe"));
    ScopedEnvironment environment{{{"FAKE_SETUP_RECORD", recordFile.getFullPathName().toStdString()},
                                   {"FAKE_SETUP_EXIT_CODE", "37"},
                                   {"FAKE_SETUP_OUTPUT_BYTES", "100"},
                                   {"FAKE_SETUP_SLEEP_MS", "400"}}};

    EXPECT_EQ(runSetupProgram(program.getFullPathName()), 37);
    EXPECT_EQ(readRecords(recordFile).size(), 1);
}

// Far more output than the pipe holds: the run must drain it to let the program end (the stand-in gives
// up with 124 after its lifetime bound if it stays blocked), and none of it may reach our own streams.
TEST_F(SetupProgramRun, TenMegabytesOfOutputAreDrainedAndDiscarded)
{
    const auto program = placeSetupProgram(temp.folder.getChildFile("Setup.exe"));
    ScopedEnvironment environment{{{"FAKE_SETUP_RECORD", recordFile.getFullPathName().toStdString()},
                                   {"FAKE_SETUP_EXIT_CODE", "7"},
                                   {"FAKE_SETUP_OUTPUT_BYTES", "10000000"}}};
    int result = 0;
    juce::File ownOut, ownErr;
    {
        StandardStreamsCapture streams(temp.folder);
        ownOut = streams.outFile;
        ownErr = streams.errFile;
        result = runSetupProgram(program.getFullPathName());
    }

    EXPECT_EQ(result, 7);
    EXPECT_EQ(readRecords(recordFile).size(), 1);
    EXPECT_FALSE(ownOut.loadFileAsString().contains("fake-setup-")) << "child output reached our stdout";
    EXPECT_FALSE(ownErr.loadFileAsString().contains("fake-setup-")) << "child output reached our stderr";
}

TEST_F(SetupProgramRun, PathWithBlanksAndQuotesIsTheOneArgument)
{
    const auto program =
        placeSetupProgram(temp.folder.getChildFile("Driver Package 2.1/it's \"the\" Setup program.exe"));
    ScopedEnvironment environment{
        {{"FAKE_SETUP_RECORD", recordFile.getFullPathName().toStdString()}, {"FAKE_SETUP_EXIT_CODE", "3"}}};

    EXPECT_EQ(runSetupProgram(program.getFullPathName()), 3);

    const auto records = readRecords(recordFile);
    ASSERT_EQ(records.size(), 1);
    EXPECT_EQ((int)records[0]["argc"], 1);
    ASSERT_EQ(records[0]["argv"].size(), 1);
    EXPECT_EQ(records[0]["argv"][0].toString(), program.getFullPathName());
    EXPECT_EQ(records[0]["path"].toString(), program.getFullPathName());
}

// A downloaded setup program is a temporary file: any name, and no execute permission.
TEST_F(SetupProgramRun, DownloadedFileWithoutExecutePermissionIsRun)
{
    const auto program = placeSetupProgram(temp.folder.getChildFile("download-4f2a.tmp"));
    ASSERT_EQ(permissionsOf(program) & 0111, 0u);
    ScopedEnvironment environment{
        {{"FAKE_SETUP_RECORD", recordFile.getFullPathName().toStdString()}, {"FAKE_SETUP_EXIT_CODE", "5"}}};

    EXPECT_EQ(runSetupProgram(program.getFullPathName()), 5);
    EXPECT_EQ(readRecords(recordFile).size(), 1);
}

TEST_F(SetupProgramRun, MakeRunnableAddsExecuteForOwnerGroupAndOthersOnly)
{
    const auto file = temp.folder.getChildFile("Setup.exe");
    ASSERT_TRUE(file.replaceWithText("#!/bin/sh\n"));
    ASSERT_EQ(chmod(file.getFullPathName().toRawUTF8(), 0640), 0);

    makeRunnable(file);
    EXPECT_EQ(permissionsOf(file), 0751u);

    const auto missing = temp.folder.getChildFile("missing.exe");
    makeRunnable(missing);
    EXPECT_FALSE(missing.exists());
}

// On POSIX, JUCE's start() fails only when it cannot make the pipe or fork; a missing program still
// "starts" and ends with 255. Running out of file descriptors makes the pipe fail.
TEST_F(SetupProgramRun, StartThatFailsGivesSetupProgramMissing)
{
    const auto program = placeSetupProgram(temp.folder.getChildFile("Setup.exe"));
    ScopedEnvironment environment{
        {{"FAKE_SETUP_RECORD", recordFile.getFullPathName().toStdString()}, {"FAKE_SETUP_EXIT_CODE", "0"}}};
    int result = 0;
    {
        ExhaustedFileDescriptors exhausted;
        ASSERT_FALSE(exhausted.held.empty());
        result = runSetupProgram(program.getFullPathName());
    }

    EXPECT_EQ(result, setupProgramMissing);
    EXPECT_FALSE(recordFile.exists());

    // The same program starts normally once descriptors are free again.
    EXPECT_EQ(runSetupProgram(program.getFullPathName()), 0);
    EXPECT_TRUE(recordFile.exists());
}
} // namespace
