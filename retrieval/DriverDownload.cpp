#include "retrieval/DriverDownload.h"

#include "app/InstallerExitCode.h"
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
constexpr int pollingSliceMs = 50;
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

// Takes the running download and the window (or nullptr); polls until the task has finished, updating the
// message and dispatching window messages for one slice per pass. Each pass is also the watchdog that
// ends a download which stalls.
void waitForDownload(FetchTask& task, juce::AlertWindow* window)
{
    while (!superviseFetch(task))
    {
        if (window != nullptr)
            window->setMessage(progressMessageLead() +
                               juce::File::descriptionOfSizeInBytes(fetchedBytes(task)));

        juce::MessageManager::getInstance()->runDispatchLoopUntil(pollingSliceMs);

        // JUCE flushes repaints on a display vblank; Wine never sends one, so flush them by hand.
        if (window != nullptr)
            if (auto* peer = window->getPeer())
                peer->performAnyPendingRepaintsNow();
    }
}

// Takes the package file name, the downloaded file and the working folder; gives back the exit code of
// installing by the name's ending (the dot is not part of the test).
int installDownloadedPackage(const juce::String& packageFileName, const juce::File& downloadedFile,
                             const juce::File& workingFolder)
{
    if (packageFileName.endsWithIgnoreCase("zip"))
        return installDriverPackage(packageFileName, downloadedFile, workingFolder);

    if (packageFileName.endsWithIgnoreCase("exe"))
        return downloadedFile.existsAsFile() ? runSetupProgram(downloadedFile.getFullPathName())
                                             : setupProgramMissing;

    return driverPackageFailed;
}
} // namespace

juce::File driverWorkingFolder()
{
    const juce::File temporaryFolder = trustedTemporaryFolder();
    return temporaryFolder == juce::File() ? juce::File() : temporaryFolder.getChildFile(workingFolderPath);
}

int downloadAndInstallDriver(int modelSlot)
{
    // Held until the setup program has ended: until then no process without elevation can change, rename
    // or replace anything in the working folder.
    const ProtectedFolder protectedWorkingFolder =
        prepareProtectedFolder(trustedTemporaryFolder(), workingFolderPath, FolderStart::emptied);
    if (!protectedWorkingFolder.isProtected())
        return driverPackageFailed;
    const juce::File& workingFolder = protectedWorkingFolder.folder;

    double progressValue = -1.0;
    std::unique_ptr<juce::AlertWindow> window = showProgressWindow(progressValue);

    DriverLookup lookup = lookUpDriver(modelSlot);
    // Moved, not copied: a URL's copy assignment copies its empty post data with memcpy from null.
    const juce::URL driverAddress = std::move(lookup.address);
    if (!driverAddress.isWellFormed())
    {
        window.reset();
        return driverPackageFailed;
    }

    // Made new (never through a link or over a file already there) before anything is fetched, and held so
    // that no process without elevation can change or replace it until it is removed.
    ProtectedFile downloadedFile = createProtectedFile(trustedTemporaryFolder());
    if (downloadedFile.file == juce::File())
    {
        window.reset();
        return driverPackageFailed;
    }

    FetchTask task =
        startFetch(driverAddress.toString(true), std::move(downloadedFile.writing), packageDownloadLimits());
    waitForDownload(task, window.get());
    downloadedFile.writing = endFetch(task);
    // A package whose entry gives a sha256 is used only when it is that file, byte for byte (a malformed
    // value matches nothing), checked on the held file before anything is unpacked or run.
    const bool downloaded = !fetchHadError(task) && finishProtectedFile(downloadedFile) &&
                            (!lookup.hasSha256 || fileMatchesSha256(downloadedFile.file, lookup.sha256));
    task = {};

    if (!downloaded)
    {
        removeProtectedFile(downloadedFile);
        window.reset();
        return driverPackageFailed;
    }

    // No window of the installer is open while the package is unpacked or its setup program runs.
    window.reset();

    const int result =
        installDownloadedPackage(driverAddress.getFileName(), downloadedFile.file, workingFolder);
    removeProtectedFile(downloadedFile);
    return result;
}
