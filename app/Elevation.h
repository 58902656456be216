#pragma once

// What the operating system answers about the process token. The Windows build asks
// OpenProcessToken/GetTokenInformation(TokenElevation); the POSIX build answers from the effective uid.
struct TokenElevationAnswer
{
    enum class Outcome
    {
        elevated,
        notElevated,
        openTokenFailed,  // OpenProcessToken failed with errorNumber
        queryTokenFailed, // GetTokenInformation failed with errorNumber (the token was closed)
    };

    Outcome outcome;
    int errorNumber;
};

// Platform layer (Elevation_windows.cpp, Elevation_posix.cpp, or a test fake): one query, no output.
[[nodiscard]] TokenElevationAnswer queryTokenElevation();

// Takes nothing; gives back true only for an elevated token. Writes, with printf to standard output,
// "\n Failed to get Process Token :%d." or "\nFailed to get Token Information :%d." when a call fails, and
// the answer to the run log (noting the reason when it is not elevated).
[[nodiscard]] bool isProcessElevated();
