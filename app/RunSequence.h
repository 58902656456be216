#pragma once

// The whole unattended run, in its fixed order:
//   start the run log -> end the companion applications -> elevation check -> take the run lock (elevated
//   only) -> place the run log -> not elevated: notElevated; another run under way: driverPackageFailed
//   -> JUCE up -> USB scan -> model slots (none: noSupportedDevice) -> driver step for the
//   first slot -> JUCE down -> the log's exit line.
// Takes nothing (arguments are ignored by the entry points); gives back the process exit code; writes the
// run log (RunLog.h) and what the steps themselves write.
[[nodiscard]] int runInstaller();
