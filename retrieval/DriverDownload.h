#pragma once

#include <juce_core/juce_core.h>

// Takes the first model slot found; empties and recreates the working folder so that only an administrator
// can change it until the setup program has ended (driverPackageFailed, before any window, when that cannot
// be done), starts the catalogue's fetch, shows the progress window meanwhile, looks up the driver address,
// downloads the package over https into a protected temporary file "temp_<hex>" in the trusted temporary
// folder (polling every pollingSliceMs, which is also the stall watchdog; from the window's showing to its
// closing, catalogue fetch included, window messages are dispatched throughout; when the entry gives a
// sha256, the bytes are hashed as they are written and the held file must have that SHA-256, else
// driverPackageFailed), closes the window and hands the file on by its form (packageFormOf: a zip archive to
// installDriverPackage, a setup program to runSetupProgram). Gives back their result, or driverPackageFailed
// / setupProgramMissing. Writes the working folder, the driver address and the download's outcome to the run
// log and notes the reason of each failure it decides; the temporary file is gone when it returns.
[[nodiscard]] int downloadAndInstallDriver(int modelSlot);
