#include "retrieval/DriverDownload.h"

#include "app/InstallerExitCode.h"
#include "install/DriverPackage.h"
#include "install/ProtectedFolder.h"
#include "install/SetupProgram.h"
#include "retrieval/DriverCatalogue.h"

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
// message and dispatching window messages for one slice per pass. There is no overall limit: the loop ends
// only when the task reports that it has finished, so a server that stalls mid-body keeps it waiting.
void waitForDownload(const juce::URL::DownloadTask& task, juce::AlertWindow* window)
{
    while (!task.isFinished())
    {
        if (window != nullptr)
            window->setMessage(progressMessageLead() +
                               juce::File::descriptionOfSizeInBytes(task.getLengthDownloaded()));

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

    juce::URL driverAddress;
    auto downloadedFile = std::make_unique<juce::TemporaryFile>(juce::String());

    double progressValue = -1.0;
    std::unique_ptr<juce::AlertWindow> window = showProgressWindow(progressValue);

    driverAddress = findDriverUrl(modelSlot);
    if (!driverAddress.isWellFormed())
    {
        downloadedFile.reset();
        window.reset();
        return driverPackageFailed;
    }

    std::unique_ptr<juce::URL::DownloadTask> task =
        driverAddress.downloadToFile(downloadedFile->getFile(), juce::URL::DownloadTaskOptions());
    if (task == nullptr)
    {
        downloadedFile.reset();
        window.reset();
        return driverPackageFailed;
    }

    waitForDownload(*task, window.get());

    if (task->hadError())
    {
        downloadedFile.reset();
        task.reset();
        window.reset();
        return driverPackageFailed;
    }

    // No window of the installer is open while the package is unpacked or its setup program runs.
    task.reset();
    window.reset();

    const int result =
        installDownloadedPackage(driverAddress.getFileName(), downloadedFile->getFile(), workingFolder);
    downloadedFile.reset();
    return result;
}
