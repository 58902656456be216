#include "retrieval/DriverDownload.h"

#include "app/InstallerExitCode.h"
#include "base/Limits.h"
#include "base/RunLog.h"
#include "install/DriverPackage.h"
#include "install/ProtectedFolder.h"
#include "install/SetupProgram.h"
#include "retrieval/DriverCatalogue.h"
#include "retrieval/HttpsFetch.h"
#include "retrieval/PackageHash.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>

namespace
{
const char* const workingFolderPath = "Tarnwell/StrellDriver";

// Takes nothing; gives back the progress window's title as shown.
juce::String progressWindowTitle()
{
    return juce::translate("Downloading ASIO driver");
}

// Takes nothing; gives back the window's first message, which later messages extend by the size received.
juce::String progressMessageLead()
{
    return juce::translate("Downloading") + "... ";
}

// Takes the progress value the bar is bound to (it must outlive the window); gives back the progress window,
// on the desktop and visible but not modal, or nullptr when there is no display to put it on (JUCE's window
// constructor crashes then). The download runs the same way without it.
std::unique_ptr<juce::AlertWindow> showProgressWindow(double& progressValue)
{
    if (juce::Desktop::getInstance().getDisplays().displays.isEmpty())
        return nullptr;

    auto window = std::make_unique<juce::AlertWindow>(progressWindowTitle(), progressMessageLead(),
                                                      juce::MessageBoxIconType::NoIcon, nullptr);
    progressValue = -1.0;
    window->addProgressBarComponent(progressValue);
    window->addToDesktop();
    window->setVisible(true);
    return window;
}

// Takes the window (or nullptr); makes its pending repaints now. JUCE flushes repaints on a display vblank;
// Wine never sends one, so they are flushed by hand once per polling pass.
void flushRepaints(juce::AlertWindow* window)
{
    if (window != nullptr)
        if (auto* peer = window->getPeer())
            peer->performAnyPendingRepaintsNow();
}

// Takes the running download and the window (or nullptr); polls until the task has finished, updating the
// message and dispatching window messages for up to one slice per pass (waitOnePollingSlice). Each pass is
// also the watchdog that ends a download which stalls.
void waitForDownload(FetchTask& task, juce::AlertWindow* window)
{
    while (!superviseFetch(task))
    {
        if (window != nullptr)
            window->setMessage(progressMessageLead() +
                               juce::File::descriptionOfSizeInBytes(fetchedBytes(task)));
        waitOnePollingSlice(task);
        flushRepaints(window);
    }
}

// Takes the package file name, the downloaded file and the working folder; gives back the exit code of
// installing by the file's form (packageFormOf), noting the reason of a failure.
int installDownloadedPackage(const juce::String& packageFileName, const juce::File& downloadedFile,
                             const juce::File& workingFolder)
{
    switch (packageFormOf(packageFileName))
    {
    case PackageForm::zipArchive:
        return installDriverPackage(packageFileName, downloadedFile, workingFolder);
    case PackageForm::setupProgram:
        if (downloadedFile.existsAsFile())
            return runSetupProgram(downloadedFile.getFullPathName());
        noteExitReason("the downloaded setup program " + downloadedFile.getFullPathName() + " is gone");
        return setupProgramMissing;
    case PackageForm::neither:
        break;
    }
    noteExitReason("the driver file name " + outsideText(packageFileName) + " ends in neither zip nor exe");
    return driverPackageFailed;
}

// Takes the finished download's report; logs its redirects, size, time, mean rate and end state.
void logDownload(const FetchReport& report)
{
    for (const auto& hop : report.hops)
        logRunEvent("download: redirect " + outsideText(hop));
    const auto seconds = juce::jmax((juce::int64)1, report.elapsedMs) / 1000.0;
    logRunEvent(
        "download: HTTP " + juce::String(report.status) + ", " + juce::String(report.bytes) + " bytes in " +
        juce::String(report.elapsedMs) + " ms (" + juce::String((double)report.bytes / seconds / 1024.0, 1) +
        " KiB/s), " +
        (report.failure.isEmpty() ? juce::String("complete") : "failed: " + outsideText(report.failure)));
}
} // namespace

int downloadAndInstallDriver(int modelSlot)
{
    // Held until the setup program has ended: until then no process without elevation can change, rename
    // or replace anything in the working folder.
    const juce::File temporaryFolder = trustedTemporaryFolder();
    if (temporaryFolder == juce::File())
    {
        noteExitReason("no temporary folder that only an administrator can change was found");
        return driverPackageFailed;
    }
    const ProtectedFolder protectedWorkingFolder =
        prepareProtectedFolder(temporaryFolder, workingFolderPath, FolderStart::emptied);
    if (!protectedWorkingFolder.isProtected())
    {
        noteExitReason("the working folder " +
                       temporaryFolder.getChildFile(workingFolderPath).getFullPathName() +
                       " could not be made safe and empty (something in its path is not a folder of ours, "
                       "cannot be protected, or cannot be emptied)");
        return driverPackageFailed;
    }
    const juce::File& workingFolder = protectedWorkingFolder.folder;
    logRunEvent("working folder: " + workingFolder.getFullPathName());

    // The catalogue's request goes out before the window is made: the framework's display set-up for the
    // first window takes a few hundred milliseconds under Wine, time the server's answer is on its way.
    CatalogueLookup catalogueLookup = startCatalogueLookup(modelSlot);
    double progressValue = -1.0;
    std::unique_ptr<juce::AlertWindow> window = showProgressWindow(progressValue);

    // The window answers while the catalogue is fetched too: the lookup dispatches its messages.
    DriverLookup lookup = finishCatalogueLookup(catalogueLookup, [&window] { flushRepaints(window.get()); });
    // Moved, not copied: a URL's copy assignment copies its empty post data with memcpy from null.
    const juce::URL driverAddress = std::move(lookup.address);
    if (!driverAddress.isWellFormed())
    {
        noteExitReason(lookup.why.isNotEmpty() ? lookup.why : "the driver address is not usable");
        window.reset();
        return driverPackageFailed;
    }
    logRunEvent("driver address: " + outsideText(driverAddress.toString(true)));

    // Made new (never through a link or over a file already there) before anything is fetched, and held so
    // that no process without elevation can change or replace it until it is removed.
    ProtectedFile downloadedFile = createProtectedFile(temporaryFolder);
    if (downloadedFile.file == juce::File())
    {
        noteExitReason("no file for the download could be made in " + temporaryFolder.getFullPathName());
        window.reset();
        return driverPackageFailed;
    }

    // With a sha256 in the entry the bytes are hashed as they are written, so the file is never read back.
    FetchTask task =
        startFetch(driverAddress.toString(true), std::move(downloadedFile.writing), packageDownloadLimits(),
                   lookup.hasSha256 ? BodyHash::sha256 : BodyHash::none);
    waitForDownload(task, window.get());
    downloadedFile.writing = endFetch(task);
    const FetchReport report = fetchReport(task);
    logDownload(report);
    const int packageStatus = report.status;
    // A package whose entry gives a sha256 is used only when it is that file, byte for byte (a malformed
    // value matches nothing), checked once the file is held, before anything is unpacked or run. The digest
    // is of the bytes written into it, and nothing but this process could write it before it was held.
    const juce::String downloadedSha256 = fetchedSha256(task);
    juce::String whyNot;
    if (fetchHadError(task))
        whyNot = "the download of " + outsideText(driverAddress.toString(true)) +
                 " failed: " + outsideText(fetchFailure(task));
    else if (!finishProtectedFile(downloadedFile))
        whyNot = "the downloaded file " + downloadedFile.file.getFullPathName() +
                 " could not be completed or is no longer the file written";
    else if (lookup.hasSha256 && lookup.outcome == LookupOutcome::malformedSha256)
        whyNot = lookup.why;
    else if (lookup.hasSha256 && downloadedSha256.isEmpty())
        whyNot = "the package's SHA-256 could not be computed by the system's hashing";
    else if (lookup.hasSha256 && !sha256Matches(downloadedSha256, lookup.sha256))
        whyNot =
            "the package's SHA-256 differs from its catalogue entry's sha256 " + outsideText(lookup.sha256);
    task = {};

    if (whyNot.isNotEmpty())
    {
        noteExitReason(whyNot);
        removeProtectedFile(downloadedFile);
        window.reset();
        return driverPackageFailed;
    }
    if (lookup.hasSha256)
        logRunEvent("download: its SHA-256 matches the catalogue entry's");

    // No window of the installer is open while the package is unpacked or its setup program runs.
    window.reset();

    const int result =
        installDownloadedPackage(driverAddress.getFileName(), downloadedFile.file, workingFolder);
    // A package that came with an error status and failed is most likely the error page itself.
    if (packageStatus < 200 || packageStatus > 299)
        amendExitReason(" (the server answered HTTP " + juce::String(packageStatus) + ")");
    removeProtectedFile(downloadedFile);
    return result;
}
