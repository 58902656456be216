// The run sequence driven in-process, with the process list, elevation query, USB enumeration and driver
// step replaced at link time, and the framework brought up and down for real.
#include "app/RunSequence.h"
#include "app/InstallerExitCode.h"
#include "devices/SupportedModels.h"
#include "tests/fakes/FakeRunSteps.h"
#include "tests/fakes/FakeUsbInstanceIds.h"
#include "tests/support/cpp/TestHelpers.h"

#include <cstdio>
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
    void SetUp() override
    {
        fakeRunSteps = FakeRunSteps{};
        fakeUsbInstanceIds.clear();
        fakeUsbScanCount = 0;
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
} // namespace
