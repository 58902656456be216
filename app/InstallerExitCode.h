#pragma once

// The installer's own exit codes. Any other exit value is the exit code of the setup program that ran.
// A Windows parent reading the code with GetExitCodeProcess sees the same 32 bits unsigned
// (-6 reads as 4294967290, -3 as 4294967293).
enum InstallerExitCode : int
{
    notElevated = -6,
    setupProgramMissing = -5,
    noSupportedDevice = -4,
    driverPackageFailed = -3,
};
