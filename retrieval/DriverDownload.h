#pragma once

#include <juce_core/juce_core.h>

// Takes nothing; gives back the folder "Tarnwell/StrellDriver" below the trusted temporary folder
// (trustedTemporaryFolder), emptied at every run, or File() when there is no trusted temporary folder.
[[nodiscard]] juce::File driverWorkingFolder();

// Takes the first model slot found; empties and recreates the working folder so that only an administrator
// can change it until the setup program has ended (driverPackageFailed, before any window, when that
// cannot be done), shows the progress window, looks up the driver address, downloads the package over
// https into a protected temporary file "temp_<hex>" in the trusted temporary folder (polling every
// pollingSliceMs, which is also the stall watchdog; when the entry gives a sha256, the file must have that
// SHA-256, else driverPackageFailed), closes the window and hands the file on by its name's ending ("zip":
// installDriverPackage, "exe": runSetupProgram). Gives back their result, or driverPackageFailed /
// setupProgramMissing. Writes nothing itself; the temporary file is gone when it returns.
[[nodiscard]] int downloadAndInstallDriver(int modelSlot);
