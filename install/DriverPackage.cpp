#include "install/DriverPackage.h"

#include "app/InstallerExitCode.h"
#include "install/SetupProgram.h"

#include <iostream>
#include <limits>

namespace
{
// Takes the opened archive; gives back why it must not be unpacked, or an empty text. On an entry name that
// is not valid UTF-8 JUCE's path checks recurse until the stack overflows, and on POSIX a link entry lets a
// later entry of the same name be written through it, outside the working folder. Driver packages hold
// neither.
juce::String reasonToRefuse(const juce::ZipFile& archive)
{
    for (int index = 0; index < archive.getNumEntries(); ++index)
    {
        const auto* entry = archive.getEntry(index);
        if (!juce::CharPointer_UTF8::isValidString(entry->filename.toRawUTF8(),
                                                   std::numeric_limits<int>::max()))
            return "Entry name is not valid UTF-8";
        if (entry->isSymbolicLink)
            return "Entry " + entry->filename + " is a symbolic link";
    }
    return {};
}
} // namespace

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
// code; driverPackageFailed after one "zip error:<message>" line on std::clog when an entry fails or the
// archive holds an entry that is never unpacked (a name that is not UTF-8, a symbolic link);
// setupProgramMissing when the setup program is not there or the name points outside the working folder.
int installDriverPackage(const juce::String& packageFileName, const juce::File& downloadedFile,
                         const juce::File& workingFolder)
{
    juce::ZipFile archive(downloadedFile);
    const auto refusal = reasonToRefuse(archive);
    const auto unpacked =
        refusal.isEmpty() ? archive.uncompressTo(workingFolder, true) : juce::Result::fail(refusal);

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
