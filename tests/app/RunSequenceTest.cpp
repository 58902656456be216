// The run sequence driven in-process, with the process list, elevation query, USB enumeration and driver
// step replaced at link time, and the framework brought up and down for real.
#include "app/RunSequence.h"
#include "app/InstallerExitCode.h"
#include "base/RunLog.h"
#include "devices/SupportedModels.h"
#include "tests/fakes/FakeRunSteps.h"
#include "tests/fakes/FakeUsbInstanceIds.h"
#include "tests/support/cpp/TestHelpers.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

namespace
{
using Outcome = TokenElevationAnswer::Outcome;

// The instance id Windows gives the maker's device with this product id.
std::string instanceIdOf(int productId, const std::string& rest = "\\0001")
{
    return instanceIdOf(UsbDeviceId{tarnwellVendorId, productId}, rest);
}

struct RunSequence : testing::Test
{
    // The run's temporary folder: a private one, where the run log goes.
    juce::File temporaryFolder;
    std::string previousTemporaryFolder;

    void SetUp() override
    {
        fakeRunSteps = FakeRunSteps{};
        fakeUsbInstanceIds.clear();
        fakeUsbScanCount = 0;
        if (temporaryFolder == juce::File())
        {
            char pattern[] = "/tmp/strell-run-sequence-XXXXXX";
            ASSERT_NE(::mkdtemp(pattern), nullptr);
            temporaryFolder = juce::File(pattern);
            if (const char* before = std::getenv("TMPDIR"))
                previousTemporaryFolder = before;
            ::setenv("TMPDIR", pattern, 1);
        }
    }

    void TearDown() override
    {
        temporaryFolder.deleteRecursively();
        if (previousTemporaryFolder.empty())
            ::unsetenv("TMPDIR");
        else
            ::setenv("TMPDIR", previousTemporaryFolder.c_str(), 1);
    }

    // Gives back the events of the newest run log, without their times.
    juce::StringArray lastLog() const
    {
        const auto folder = temporaryFolder.getChildFile(runLogFolderPath);
        juce::StringArray names;
        for (const auto& file : folder.findChildFiles(juce::File::findFiles, false))
            names.add(file.getFileName());
        names = runLogNamesOldestFirst(names);
        juce::StringArray events;
        if (!names.isEmpty())
            for (const auto& line : juce::StringArray::fromLines(
                     folder.getChildFile(names[names.size() - 1]).loadFileAsString().trimEnd()))
                events.add(line.fromFirstOccurrenceOf(" ms  ", false, false));
        return events;
    }

    // Runs the installer; gives back its exit code and what it printed on standard output.
    std::pair<int, std::string> run()
    {
        testing::internal::CaptureStdout();
        const int exitCode = runInstaller();
        std::fflush(stdout);
        return {exitCode, testing::internal::GetCapturedStdout()};
    }
};

TEST_F(RunSequence, notElevatedEndsCompanionsFirstAndDoesNothingElse)
{
    fakeRunSteps.elevation = {Outcome::notElevated, 0};
    fakeRunSteps.runningProcesses = {{40, "up5.exe"}, {41, "explorer.exe"}};
    fakeUsbInstanceIds = {instanceIdOf(supportedModels().front().productId)};

    const auto [exitCode, output] = run();

    EXPECT_EQ(exitCode, notElevated);
    EXPECT_EQ(output, "");
    EXPECT_EQ(fakeRunSteps.events, (std::vector<std::string>{"walk", "elevation"}));
    EXPECT_EQ(fakeRunSteps.terminated, (std::vector<std::uint32_t>{40}));
    EXPECT_EQ(fakeUsbScanCount, 0);
    EXPECT_FALSE(fakeRunSteps.frameworkUpDuringElevation);
    EXPECT_EQ(juce::MessageManager::getInstanceWithoutCreating(), nullptr);
}

TEST_F(RunSequence, tokenFailuresPrintTheirDiagnosticExactly)
{
    fakeRunSteps.elevation = {Outcome::openTokenFailed, 5};
    auto [exitCode, output] = run();
    EXPECT_EQ(exitCode, -6);
    EXPECT_EQ(output, "\n Failed to get Process Token :5.");

    SetUp();
    fakeRunSteps.elevation = {Outcome::queryTokenFailed, 87};
    std::tie(exitCode, output) = run();
    EXPECT_EQ(exitCode, -6);
    EXPECT_EQ(output, "\nFailed to get Token Information :87.");

    SetUp();
    fakeRunSteps.elevation = {Outcome::openTokenFailed, -2147024891};
    std::tie(exitCode, output) = run();
    EXPECT_EQ(output, "\n Failed to get Process Token :-2147024891.") << "error numbers print signed";
    EXPECT_EQ(fakeUsbScanCount, 0);
}

TEST_F(RunSequence, noSupportedDeviceBringsTheFrameworkUpAndDown)
{
    fakeUsbInstanceIds = {"USB\\ROOT_HUB30\\4&1", "USB\\VID_046D&PID_C52B\\5&2", ""};

    const auto [exitCode, output] = run();

    EXPECT_EQ(exitCode, noSupportedDevice);
    EXPECT_EQ(output, "");
    EXPECT_EQ(fakeUsbScanCount, 1);
    EXPECT_EQ(fakeRunSteps.events, (std::vector<std::string>{"walk", "elevation"}));
    EXPECT_EQ(juce::MessageManager::getInstanceWithoutCreating(), nullptr) << "framework shut down";
}

TEST_F(RunSequence, firstFoundModelGetsTheOnlyDriverStepAndItsResultIsTheExitCode)
{
    const auto& models = supportedModels();
    const int first = models[7].productId, second = models[3].productId;
    fakeUsbInstanceIds = {"USB\\VID_046D&PID_C52B\\1", instanceIdOf(first, "&MI_00\\6&1"),
                          instanceIdOf(second), instanceIdOf(first)};
    fakeRunSteps.driverStepResult = static_cast<int>(3221225477u);

    const auto [exitCode, output] = run();

    EXPECT_EQ(exitCode, -1073741819);
    const std::string expected = "driver:" + std::to_string(modelSlotForProductId(first));
    EXPECT_EQ(fakeRunSteps.events, (std::vector<std::string>{"walk", "elevation", expected}));
    EXPECT_TRUE(fakeRunSteps.frameworkUpDuringDriverStep);
    EXPECT_EQ(juce::MessageManager::getInstanceWithoutCreating(), nullptr);
}

TEST_F(RunSequence, installerCodesFromTheDriverStepPassThroughUnchanged)
{
    fakeUsbInstanceIds = {instanceIdOf(supportedModels().back().productId)};
    for (const int code : {0, 1, -3, -5, 255, -6})
    {
        fakeRunSteps.driverStepResult = code;
        EXPECT_EQ(run().first, code);
    }
}

TEST_F(RunSequence, unreadableProcessListStillGoesOnToTheElevationCheck)
{
    fakeRunSteps.processListReadable = false;
    fakeRunSteps.elevation = {Outcome::notElevated, 0};
    EXPECT_EQ(run().first, notElevated);
    EXPECT_EQ(fakeRunSteps.events, (std::vector<std::string>{"walk", "elevation"}));
}

TEST_F(RunSequence, theLogSaysWhyEachRunEnded)
{
    fakeRunSteps.runningProcesses = {{40, "up5.exe"}, {41, "explorer.exe"}};
    fakeRunSteps.elevation = {Outcome::openTokenFailed, 5};
    EXPECT_EQ(run().first, notElevated);
    auto log = lastLog();
    ASSERT_GE(log.size(), 4);
    EXPECT_TRUE(log[0].startsWith("StrellDriverInstaller ")) << log[0];
    EXPECT_TRUE(log[1].startsWith("system: ")) << log[1];
    EXPECT_EQ(log[2], "catalogue signature: not required (this build has no signing keys)");
    EXPECT_TRUE(log.contains("companion process ended: \"up5.exe\" (pid 40)"));
    EXPECT_EQ(log.strings.getLast(), "exit -6 notElevated: the process token could not be opened (error 5)");

    SetUp();
    fakeUsbInstanceIds = {"USB\\VID_046D&PID_C52B\\5&2", "usb\\vid_2e7a&pid_ffff\\1"};
    EXPECT_EQ(run().first, noSupportedDevice);
    log = lastLog();
    EXPECT_TRUE(log.contains("companion processes: none running"));
    EXPECT_TRUE(log.contains("elevation: the token is elevated"));
    EXPECT_TRUE(log.contains("USB devices present: 2, of them 1 with the maker's vendor id"));
    EXPECT_TRUE(log.contains("USB device \"usb\\\\vid_2e7a&pid_ffff\\\\1\": no supported model"));
    EXPECT_EQ(log.strings.getLast(),
              "exit -4 noSupportedDevice: none of the maker's 1 USB devices present is a supported model");

    SetUp();
    const auto& model = supportedModels()[5];
    fakeUsbInstanceIds = {instanceIdOf(model.productId)};
    fakeRunSteps.driverStepResult = driverPackageFailed;
    EXPECT_EQ(run().first, driverPackageFailed);
    log = lastLog();
    const auto chosen = "model chosen: slot " + juce::String(modelSlotForProductId(model.productId)) + " (" +
                        model.keyName + ", " + model.displayName + ")";
    EXPECT_TRUE(log.contains(chosen)) << log.joinIntoString("\n");
    EXPECT_EQ(log.strings.getLast(), "exit -3 driverPackageFailed: the driver step failed (fake)");
}
} // namespace
