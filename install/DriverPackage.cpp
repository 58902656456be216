#include "install/DriverPackage.h"

#include "app/InstallerExitCode.h"
#include "base/RunLog.h"
#include "install/SetupProgram.h"
#include "install/ZipExtraction.h"

#include <cstring>
#include <iostream>

juce::String setupProgramFolderName()
{
    const auto osType = juce::SystemStats::getOperatingSystemType();
    const bool windows10OrLater =
        osType == juce::SystemStats::Windows10 || osType == juce::SystemStats::Windows11;
    return juce::String(juce::SystemStats::isOperatingSystem64Bit() ? "x64" : "x86") +
           (windows10OrLater ? "_Win10" : "");
}

juce::String setupProgramPathFor(const juce::File& packageFolder)
{
    const auto separator = juce::File::getSeparatorString();
    return packageFolder.getFullPathName() + separator + setupProgramFolderName() + separator + "Setup.exe";
}

PackageForm packageFormOf(const juce::String& packageFileName)
{
    if (packageFileName.endsWithIgnoreCase("zip"))
        return PackageForm::zipArchive;
    if (packageFileName.endsWithIgnoreCase("exe"))
        return PackageForm::setupProgram;
    return PackageForm::neither;
}

juce::File packageFolderFor(const juce::String& packageFileName, const juce::File& unpackedInto)
{
    const auto packageFolder = unpackedInto.getChildFile(packageFileName.replace(".zip", "", true));
    // The name comes from the download address: "..", an absolute path or a drive must not lead the run to a
    // program that was not unpacked here.
    return packageFolder == unpackedInto || packageFolder.isAChildOf(unpackedInto) ? packageFolder
                                                                                   : juce::File();
}

namespace
{
// Takes a download that is not a zip archive; gives back what it is instead, for the log.
juce::String whatTheDownloadIs(const juce::File& downloadedFile)
{
    const auto size = downloadedFile.getSize();
    if (size == 0)
        return "the download is empty";
    juce::MemoryBlock head;
    juce::FileInputStream in(downloadedFile);
    if (in.openedOk())
        in.readIntoMemoryBlock(head, 64);
    if (head.getSize() >= 4 && std::memcmp(head.getData(), "PK\x03\x04", 4) == 0)
        return "the download begins as a zip archive but has no end record (cut short?)";
    return "the download is not a zip archive: it begins " +
           outsideText(juce::String::createStringFromData(head.getData(), (int)head.getSize()));
}

// Takes the package folder; gives back what it holds instead of the setup program, for the log.
juce::String whatThePackageHolds(const juce::File& packageFolder, const juce::String& setupProgramPath)
{
    if (juce::File(setupProgramPath).isDirectory())
        return "the package's " + outsideText(setupProgramPath) + " is a folder";
    if (!packageFolder.isDirectory())
        return "the package has no folder " + outsideText(packageFolder.getFileName());
    juce::StringArray names;
    for (const auto& entry :
         juce::RangedDirectoryIterator(packageFolder, false, "*", juce::File::findFilesAndDirectories))
        names.add(entry.getFile().getFileName());
    names.sort(true);
    return "the package has no setup program " + outsideText(setupProgramPath) + "; its folder holds " +
           outsideText(names.joinIntoString(", "));
}
} // namespace

int installDriverPackage(const juce::String& packageFileName, const juce::File& downloadedFile,
                         const juce::File& workingFolder)
{
    ZipExtractionSummary summary;
    const auto unpacked = extractZipArchive(downloadedFile, workingFolder, &summary);
    const auto counts =
        juce::String(summary.entries) + " entries, " + juce::String((juce::int64)summary.bytes) + " bytes";

    if (unpacked.failed())
    {
        std::clog << "zip error:" << unpacked.getErrorMessage().toStdString() << std::endl;
        logRunEvent("unpacking stopped after " + counts);
        noteExitReason("the package cannot be unpacked: " + outsideText(unpacked.getErrorMessage()));
        return driverPackageFailed;
    }
    const juce::String notAZip = summary.isZip ? juce::String() : whatTheDownloadIs(downloadedFile);
    logRunEvent(summary.isZip ? "unpacked " + counts + " into " + workingFolder.getFullPathName()
                              : notAZip + ": nothing was unpacked");

    const auto packageFolder = packageFolderFor(packageFileName, workingFolder);
    if (packageFolder == juce::File())
    {
        noteExitReason("the package name " + outsideText(packageFileName) +
                       " points outside the working folder");
        return setupProgramMissing;
    }

    const auto setupProgramPath = setupProgramPathFor(packageFolder);

    if (!juce::File::isAbsolutePath(setupProgramPath) || !juce::File(setupProgramPath).existsAsFile())
    {
        noteExitReason(!summary.isZip         ? notAZip + ", so it has no setup program"
                       : summary.entries == 0 ? juce::String("the package is a zip archive without entries")
                                              : whatThePackageHolds(packageFolder, setupProgramPath));
        return setupProgramMissing;
    }

    return runSetupProgram(setupProgramPath);
}
