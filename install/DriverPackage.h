#pragma once

#include <juce_core/juce_core.h>

// Takes the package folder; gives back the path of the setup program for this Windows:
// <folder>\x64 or \x86, "_Win10" on Windows 10 and 11, then \Setup.exe (the platform's separator on POSIX).
juce::String setupProgramPathFor(const juce::File& packageFolder);

// Takes the package file name, the downloaded archive and the working folder; unpacks the archive into the
// folder (extractZipArchive: every entry checked against the archive's directory) and runs the setup program
// of the package folder (the name with every ".zip" removed, any case). Gives back the setup program's exit
// code, driverPackageFailed after writing "zip error:<message>" to std::clog when unpacking fails, or
// setupProgramMissing when the setup program is not there.
int installDriverPackage(const juce::String& packageFileName, const juce::File& downloadedFile,
                         const juce::File& workingFolder);
