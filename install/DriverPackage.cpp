#include "install/DriverPackage.h"

#include "app/InstallerExitCode.h"
#include "install/SetupProgram.h"
#include "install/ZipExtraction.h"

#include <iostream>

// Takes the package folder; gives back, as text, the one place of the setup program for the Windows at
// hand (x64 or x86 by the bitness of the OS, "_Win10" on Windows 10 and 11). No fallback is looked for.
juce::String setupProgramPathFor(const juce::File& packageFolder)
{
    const auto separator = juce::File::getSeparatorString();
    const auto osType = juce::SystemStats::getOperatingSystemType();
    const bool windows10OrLater =
        osType == juce::SystemStats::Windows10 || osType == juce::SystemStats::Windows11;

    return packageFolder.getFullPathName() + separator +
           (juce::SystemStats::isOperatingSystem64Bit() ? "x64" : "x86") +
           (windows10OrLater ? "_Win10" : "") + separator + "Setup.exe";
}

// Takes the package file name, the downloaded archive and the working folder. Unpacks the archive into
// the working folder (overwriting), then runs the setup program of the package folder. Gives back its exit
// code; driverPackageFailed after one "zip error:<message>" line on std::clog when the unpacking fails
// (extractZipArchive: an entry that is damaged, cannot be read or written, or is refused);
// setupProgramMissing when the setup program is not there or the name points outside the working folder.
int installDriverPackage(const juce::String& packageFileName, const juce::File& downloadedFile,
                         const juce::File& workingFolder)
{
    const auto unpacked = extractZipArchive(downloadedFile, workingFolder);

    if (unpacked.failed())
    {
        std::clog << "zip error:" << unpacked.getErrorMessage().toStdString() << std::endl;
        return driverPackageFailed;
    }

    const auto packageFolder = workingFolder.getChildFile(packageFileName.replace(".zip", "", true));

    // The name comes from the download address: "..", an absolute path or a drive must not lead the run to a
    // program that was not unpacked here.
    if (packageFolder != workingFolder && !packageFolder.isAChildOf(workingFolder))
        return setupProgramMissing;

    const auto setupProgramPath = setupProgramPathFor(packageFolder);

    if (!juce::File::isAbsolutePath(setupProgramPath) || !juce::File(setupProgramPath).existsAsFile())
        return setupProgramMissing;

    return runSetupProgram(setupProgramPath);
}
