#pragma once

#include <juce_core/juce_core.h>

// The folder "Tarnwell/StrellDriver" below the user's temporary folder, emptied at every run.
juce::File driverWorkingFolder();

// Takes the first model slot found; empties and recreates the working folder, shows the progress window,
// looks up the driver address, downloads the package into a temporary file (polling every 50 ms; when the
// entry gives a sha256, the file must have that SHA-256, else driverPackageFailed), closes
// the window and hands the file on by its name's ending ("zip": installDriverPackage, "exe":
// runSetupProgram). Gives back their result, or driverPackageFailed / setupProgramMissing. Writes nothing
// itself; the temporary file is gone when it returns.
int downloadAndInstallDriver(int modelSlot);
