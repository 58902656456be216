#include "app/RunSequence.h"

#include "app/CompanionProcesses.h"
#include "app/Elevation.h"
#include "app/InstallerExitCode.h"
#include "base/RunLog.h"
#include "devices/SupportedModels.h"
#include "devices/UsbScan.h"
#include "install/DriverPackage.h"
#include "install/ProtectedFolder.h"
#include "retrieval/CatalogueSignature.h"
#include "retrieval/DriverCatalogue.h"
#include "retrieval/DriverDownload.h"

#include <juce_gui_basics/juce_gui_basics.h>

#ifndef STRELL_VERSION
#error "STRELL_VERSION is the program's version; the build defines it"
#endif

namespace
{
// The file whose lock says that a run of the installer is under way.
const char* const runLockName = "StrellDriverInstaller.lock";

// Takes nothing; gives back what the log's first line says of this program and its build.
juce::String describeProgram()
{
    return juce::String("StrellDriverInstaller ") + STRELL_VERSION + ", catalogue origin " +
           catalogueOrigin() + ", built with GCC " + __VERSION__ +
           (sizeof(void*) == 8 ? " (64-bit)" : " (32-bit)");
}

// Takes nothing; gives back the system as the installer sees it, and the package folder it takes setup
// programs from.
juce::String describeSystem()
{
    return "system: " + juce::SystemStats::getOperatingSystemName() +
           (juce::SystemStats::isOperatingSystem64Bit() ? ", 64-bit" : ", 32-bit") +
           "; setup programs from " + setupProgramFolderName();
}

// Takes a model slot; gives back "slot N (key name, display name)".
juce::String describeModel(int slot)
{
    const int productId = productIdForModelSlot(slot);
    for (const SupportedModel& model : supportedModels())
        if (model.productId == productId)
            return "slot " + juce::String(slot) + " (" + model.keyName + ", " + model.displayName + ")";
    return "slot " + juce::String(slot);
}

// Takes what the scan saw; logs how many USB devices were present and every one of the maker's with the
// models it matched.
void logUsbScan(const UsbScanReport& scan)
{
    logRunEvent("USB devices present: " + juce::String(scan.presentCount) + ", of them " +
                juce::String((int)scan.makerDevices.size()) + " with the maker's vendor id");
    for (const auto& device : scan.makerDevices)
    {
        juce::StringArray models;
        for (const UsbDeviceId& id : device.matched)
        {
            const int slot = findModelSlot(id.productId);
            models.add(slot >= 0 ? describeModel(slot)
                                 : "product id 0x" + juce::String::toHexString(id.productId));
        }
        logRunEvent("USB device " + outsideText(juce::String::fromUTF8(device.instanceId.c_str())) + ": " +
                    (models.isEmpty() ? "no supported model" : "matches " + models.joinIntoString(", ")));
    }
}

// Takes the present devices in scan order; gives back the model slot of each one that has a slot, in the
// same order, repeats kept. Writes the "hex: " line of every product id without a slot
// (modelSlotForProductId).
juce::Array<int> modelSlotsOf(const std::vector<UsbDeviceId>& presentDevices)
{
    juce::Array<int> slots;
    for (const auto& device : presentDevices)
    {
        const int slot = modelSlotForProductId(device.productId);
        if (slot >= 0)
            slots.add(slot);
    }
    return slots;
}

// Takes a prepared folder; logs what was in its way and was moved aside.
void logMovedAside(const ProtectedFolder& prepared)
{
    for (const auto& path : prepared.movedAside)
        logRunEvent("moved aside what another user had in the way: " + outsideText(path));
}

// Takes nothing; prepares the run lock's folder ("Tarnwell" below the trusted temporary folder, protected
// as the working folder's parent is) and takes the lock on "StrellDriverInstaller.lock" in it, without
// waiting. The folder's handles are let go at once; the lock stays taken while the record lives, and the
// system lets go of it when the process ends, however it ends. Writes what was moved aside to the log.
FileLock takeRunLock()
{
    const ProtectedFolder folder =
        prepareProtectedFolder(trustedTemporaryFolder(), "Tarnwell", FolderStart::kept);
    logMovedAside(folder);
    return lockFileIn(folder, runLockName);
}

// Takes whether the log may prune old logs; prepares the log's folder, protected as the working folder is
// when the run is elevated (a run that is not elevated gets a log only where it may write), moving aside
// what another user put where its folders go, and gives the log its file there, or drops the log. The
// folder's handles are let go at once: from then on the log is written through its open file.
void placeRunLogInTemporaryFolder(bool pruneOldLogs)
{
    const ProtectedFolder folder =
        prepareProtectedFolder(trustedTemporaryFolder(), runLogFolderPath, FolderStart::kept);
    logMovedAside(folder);
    placeRunLog(folder.folder, pruneOldLogs);
}

// Takes the exit code; writes the log's last line and gives the code back.
int endRun(int exitCode)
{
    finishRunLog(exitCode);
    return exitCode;
}
} // namespace

int runInstaller()
{
    startRunLog();
    logRunEvent(describeProgram());
    logRunEvent(describeSystem());
    logRunEvent(describeCatalogueSigning());

    terminateCompanionProcesses();

    const bool elevated = isProcessElevated();
    // Taken before anything of an earlier run is touched, held until the process ends.
    const FileLock runLock = elevated ? takeRunLock() : FileLock{};
    placeRunLogInTemporaryFolder(runLock.outcome != LockOutcome::heldByAnother);
    if (!elevated)
        return endRun(notElevated);
    if (runLock.outcome != LockOutcome::taken)
    {
        const juce::File lockFile =
            trustedTemporaryFolder().getChildFile("Tarnwell").getChildFile(runLockName);
        noteExitReason(runLock.outcome == LockOutcome::heldByAnother
                           ? "another run holds the installer (" + lockFile.getFullPathName() + " is locked)"
                           : "the run lock " + lockFile.getFullPathName() + " could not be taken");
        return endRun(driverPackageFailed);
    }

    const juce::ScopedJuceInitialiser_GUI framework;
    juce::MessageManager::getInstance();

    UsbScanReport scan;
    const juce::Array<int> slots = modelSlotsOf(findPresentSupportedDevices(&scan));
    logUsbScan(scan);
    if (slots.isEmpty())
    {
        noteExitReason(scan.makerDevices.empty()
                           ? "no USB device of the maker is present (" + juce::String(scan.presentCount) +
                                 " USB devices seen)"
                           : "none of the maker's " + juce::String((int)scan.makerDevices.size()) +
                                 " USB devices present is a supported model");
        return endRun(noSupportedDevice);
    }

    // One run installs the driver of exactly one model: the first one found.
    logRunEvent("model chosen: " + describeModel(slots.getFirst()));
    return endRun(downloadAndInstallDriver(slots.getFirst()));
}
