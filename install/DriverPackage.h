#pragma once

#include <juce_core/juce_core.h>

// Takes nothing; gives back the package sub-folder of the setup program for the Windows at hand: "x64" or
// "x86" by the bitness of the OS, "_Win10" after it on Windows 10 and 11. No fallback is looked for.
juce::String setupProgramFolderName();

// Takes the package folder; gives back the path of the setup program for this Windows:
// <folder>\<setupProgramFolderName()>\Setup.exe (the platform's separator on POSIX).
juce::String setupProgramPathFor(const juce::File& packageFolder);

// What a driver file is, by the ending of its name (any case; the dot is not part of the test).
enum class PackageForm
{
    zipArchive,   // ends in "zip": unpacked, then its setup program is run
    setupProgram, // ends in "exe": run itself
    neither,      // the installer does not use it
};

// Takes the driver file name (the last part of its address); gives back its form. Writes nothing.
[[nodiscard]] PackageForm packageFormOf(const juce::String& packageFileName);

// Takes the package file name and the folder it is unpacked into; gives back the package folder: the name
// with every ".zip" removed (any case), inside that folder. File() when the name leads outside it (".." or
// an absolute path or a drive in the name, which comes from the download address). Writes nothing.
[[nodiscard]] juce::File packageFolderFor(const juce::String& packageFileName,
                                          const juce::File& unpackedInto);

// Takes the package file name, the downloaded archive and the working folder; unpacks the archive into the
// folder (extractZipArchive: every entry checked against the archive's directory) and runs the setup program
// of the package folder (packageFolderFor). Gives back the setup program's exit
// code (runSetupProgram); driverPackageFailed after writing "zip error:<message>" to std::clog when
// unpacking fails; setupProgramMissing when the setup program is not there or the package folder's name
// points outside the working folder. Writes the unpacking's outcome to the run log and notes the reason
// of either failure.
[[nodiscard]] int installDriverPackage(const juce::String& packageFileName, const juce::File& downloadedFile,
                                       const juce::File& workingFolder);
