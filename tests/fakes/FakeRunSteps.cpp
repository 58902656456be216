#include "tests/fakes/FakeRunSteps.h"

#include "app/InstallerExitCode.h"
#include "base/RunLog.h"

#include "app/CompanionProcesses.h"
#include "retrieval/DriverDownload.h"

#include <algorithm>
#include <juce_events/juce_events.h>

FakeRunSteps fakeRunSteps;

namespace
{
bool frameworkIsUp()
{
    return juce::MessageManager::getInstanceWithoutCreating() != nullptr;
}
} // namespace

TokenElevationAnswer queryTokenElevation()
{
    fakeRunSteps.events.push_back("elevation");
    fakeRunSteps.frameworkUpDuringElevation = frameworkIsUp();
    return fakeRunSteps.elevation;
}

bool walkRunningProcesses(const std::function<void(std::uint32_t processId, const char* exeFile)>& visit)
{
    fakeRunSteps.events.push_back("walk");
    if (!fakeRunSteps.processListReadable)
        return false;
    for (const auto& [processId, exeFile] : fakeRunSteps.runningProcesses)
        visit(processId, exeFile.c_str());
    return true;
}

bool terminateProcessById(std::uint32_t processId, unsigned int exitCode)
{
    const auto& unopenable = fakeRunSteps.unopenableProcesses;
    if (std::find(unopenable.begin(), unopenable.end(), processId) != unopenable.end())
        return false;
    fakeRunSteps.terminated.push_back(processId);
    fakeRunSteps.terminationExitCodes.push_back(exitCode);
    return true;
}

int downloadAndInstallDriver(int modelSlot)
{
    fakeRunSteps.events.push_back("driver:" + std::to_string(modelSlot));
    fakeRunSteps.frameworkUpDuringDriverStep = frameworkIsUp();
    // As the real step does: an installer code of its own comes with its reason.
    if (fakeRunSteps.driverStepResult < 0 && fakeRunSteps.driverStepResult >= notElevated)
        noteExitReason("the driver step failed (fake)");
    return fakeRunSteps.driverStepResult;
}
