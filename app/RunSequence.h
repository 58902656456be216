#pragma once

// The whole unattended run, in its fixed order:
//   end the companion applications -> elevation check (else notElevated) -> JUCE up ->
//   USB scan -> model slots (none: noSupportedDevice) -> driver step for the first slot -> JUCE down.
// Takes nothing (arguments are ignored by the entry points); gives back the process exit code;
// writes only what the steps themselves write.
int runInstaller();
