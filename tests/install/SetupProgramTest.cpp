#include "install/SetupProgram.h"
#include "app/InstallerExitCode.h"
#include "tests/install/InstallTestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
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

// Writes the bytes as they are (JUCE's replaceWithText turns line feeds into CR LF; an empty write deletes).
void writeExactly(const juce::File& file, const std::string& bytes)
{
    std::ofstream out(file.getFullPathName().toStdString(), std::ios::binary | std::ios::trunc);
    out << bytes;
    out.close();
    ASSERT_TRUE(out.good()) << "cannot write " << file.getFullPathName();
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

// 127 and 255 are ordinary codes too, not a start that failed.
INSTANTIATE_TEST_SUITE_P(Codes, SetupProgramExitCode, ::testing::Values(0, 1, 127, 253, 255));

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

// A downloaded setup program is a temporary file: any name, and no execute permission. The run adds it
// for owner, group and others and changes nothing else.
TEST_F(SetupProgramRun, DownloadedFileWithoutExecutePermissionIsRun)
{
    const auto program = placeSetupProgram(temp.folder.getChildFile("download-4f2a.tmp"));
    ASSERT_EQ(chmod(program.getFullPathName().toRawUTF8(), 0640), 0);
    ScopedEnvironment environment{
        {{"FAKE_SETUP_RECORD", recordFile.getFullPathName().toStdString()}, {"FAKE_SETUP_EXIT_CODE", "5"}}};

    EXPECT_EQ(runSetupProgram(program.getFullPathName()), 5);
    EXPECT_EQ(readRecords(recordFile).size(), 1);
    EXPECT_EQ(permissionsOf(program), 0751u);
}

// On POSIX a start fails when no descriptor is left for opening the program or making the pipes.
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

// The setup program gets standard input from /dev/null, output and error in one pipe, and nothing else:
// not even a descriptor that the installer holds open without close-on-exec.
TEST_F(SetupProgramRun, ChildHasOnlyItsThreeStandardStreams)
{
    const auto program = placeSetupProgram(temp.folder.getChildFile("Setup.exe"));
    ScopedEnvironment environment{{{"FAKE_SETUP_RECORD", recordFile.getFullPathName().toStdString()}}};
    const int inheritable = open(temp.folder.getFullPathName().toRawUTF8(), O_RDONLY);
    ASSERT_GE(inheritable, 0);

    EXPECT_EQ(runSetupProgram(program.getFullPathName()), 0);
    close(inheritable);

    const auto records = readRecords(recordFile);
    ASSERT_EQ(records.size(), 1);
    auto* descriptors = records[0]["descriptors"].getDynamicObject();
    ASSERT_NE(descriptors, nullptr);
    juce::StringArray open;

    for (auto& property : descriptors->getProperties())
        open.add(property.name.toString() + " " + property.value.toString());

    ASSERT_EQ(open.size(), 3) << open.joinIntoString(", ");
    EXPECT_EQ(open[0], "0 /dev/null");
    EXPECT_TRUE(open[1].startsWith("1 pipe:")) << open[1];
    EXPECT_EQ(open[1].fromFirstOccurrenceOf(" ", false, false),
              open[2].fromFirstOccurrenceOf(" ", false, false));
}

// A "#!" script runs like a program: by its path alone, with its exit code passed on.
TEST_F(SetupProgramRun, ScriptRunsByItsPathWithItsExitCode)
{
    const auto script = temp.folder.getChildFile("Driver Package/Setup script.exe");
    ASSERT_TRUE(script.getParentDirectory().createDirectory());
    writeExactly(script, "#!/bin/sh\nprintf '%s|%s' \"$0\" \"$#\" > \"$SCRIPT_OUT\"\nexit 42\n");
    const auto out = temp.folder.getChildFile("script-out");
    ScopedEnvironment environment{{{"SCRIPT_OUT", out.getFullPathName().toStdString()}}};

    EXPECT_EQ(runSetupProgram(script.getFullPathName()), 42);
    EXPECT_EQ(out.loadFileAsString(), script.getFullPathName() + "|0");
}

// The run ends with the setup program, even when something it left running still holds the output pipe.
TEST_F(SetupProgramRun, ProgramLeftRunningDoesNotHoldTheRun)
{
    const auto script = temp.folder.getChildFile("Setup.exe");
    writeExactly(script, "#!/bin/sh\nsleep 20 &\necho $! > \"$SCRIPT_OUT\"\nexit 4\n");
    const auto out = temp.folder.getChildFile("script-out");
    ScopedEnvironment environment{{{"SCRIPT_OUT", out.getFullPathName().toStdString()}}};

    const auto started = juce::Time::getMillisecondCounterHiRes();
    EXPECT_EQ(runSetupProgram(script.getFullPathName()), 4);
    EXPECT_LT(juce::Time::getMillisecondCounterHiRes() - started, 5000.0);

    const int left = out.loadFileAsString().trim().getIntValue();
    ASSERT_GT(left, 0);
    kill(left, SIGTERM);
}

struct NotAProgram
{
    const char* name;
    std::string bytes;
};

void PrintTo(const NotAProgram& file, std::ostream* out)
{
    *out << file.name;
}

class SetupProgramNotAProgram : public SetupProgramRun, public ::testing::WithParamInterface<NotAProgram>
{
};

// Each file is runnable by its permissions, and each would create the marker if a shell ran it. None of
// them may run; a file the system then refuses to start gives the same result.
TEST_P(SetupProgramNotAProgram, GivesSetupProgramMissingAndNothingRuns)
{
    const auto file = temp.folder.getChildFile("Setup.exe");
    writeExactly(file, GetParam().bytes);
    ASSERT_EQ(chmod(file.getFullPathName().toRawUTF8(), 0755), 0);
    const auto marker = temp.folder.getChildFile("marker");
    ScopedEnvironment environment{{{"SETUP_MARKER", marker.getFullPathName().toStdString()}}};

    EXPECT_EQ(runSetupProgram(file.getFullPathName()), setupProgramMissing);
    EXPECT_FALSE(marker.exists()) << "the file was run";
}

const std::string markerLine = "touch \"$SETUP_MARKER\"\nexit 7\n";

INSTANTIATE_TEST_SUITE_P(
    Files, SetupProgramNotAProgram,
    ::testing::Values(NotAProgram{"ShellText", markerLine},
                      NotAProgram{"HtmlErrorPage",
                                  "<!DOCTYPE html>\n<html><body><h1>404 Not Found</h1></body></html>\n" +
                                      markerLine},
                      NotAProgram{"Empty", ""}, NotAProgram{"Zeros", std::string(4096, '\0')},
                      NotAProgram{"WindowsProgram", std::string("MZ\x90\0\x03\0\0\0\n", 9) + markerLine},
                      NotAProgram{"DamagedElf", std::string("\x7f"
                                                            "ELF\x02\x01\x01\0garbage\n",
                                                            16) +
                                                    markerLine},
                      NotAProgram{"ScriptWithoutInterpreter", "#!/nonexistent/strell-shell\n" + markerLine}),
    [](const auto& info) { return std::string(info.param.name); });

// Neither a link (even to a real program) nor a FIFO is run; the FIFO must not block the run either.
TEST_F(SetupProgramRun, LinkOrFifoIsNoProgram)
{
    ScopedEnvironment environment{{{"FAKE_SETUP_RECORD", recordFile.getFullPathName().toStdString()}}};
    const auto link = temp.folder.getChildFile("link/Setup.exe");
    ASSERT_TRUE(link.getParentDirectory().createDirectory());
    ASSERT_EQ(symlink(fakeSetupProgram().getFullPathName().toRawUTF8(), link.getFullPathName().toRawUTF8()),
              0);
    const auto fifo = temp.folder.getChildFile("Setup.exe");
    ASSERT_EQ(mkfifo(fifo.getFullPathName().toRawUTF8(), 0755), 0);

    EXPECT_EQ(runSetupProgram(link.getFullPathName()), setupProgramMissing);
    EXPECT_EQ(runSetupProgram(fifo.getFullPathName()), setupProgramMissing);
    EXPECT_FALSE(recordFile.exists());
}

struct Signalled
{
    int signal;
    int result;
};

void PrintTo(const Signalled& run, std::ostream* out)
{
    *out << "signal " << run.signal;
}

class SetupProgramSignalled : public SetupProgramRun, public ::testing::WithParamInterface<Signalled>
{
};

// A crash must not read as success: signal N gives 128 + N, as shells report it.
TEST_P(SetupProgramSignalled, GivesTheShellsCode)
{
    const auto script = temp.folder.getChildFile("Setup.exe");
    writeExactly(script, "#!/bin/sh\nkill -" + std::to_string(GetParam().signal) + " $$\nexit 99\n");

    EXPECT_EQ(runSetupProgram(script.getFullPathName()), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(Signals, SetupProgramSignalled,
                         ::testing::Values(Signalled{SIGSEGV, 139}, Signalled{SIGKILL, 137},
                                           Signalled{SIGABRT, 134}),
                         [](const auto& info) { return "Signal" + std::to_string(info.param.signal); });
} // namespace
