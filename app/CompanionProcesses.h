#pragma once

#include <cstdint>
#include <functional>

// Executable names of the maker's companion applications, lower case, compared in this order.
inline constexpr const char* companionProcessNames[] = {"hx deck.exe", "unitpanel.exe", "up5.exe"};

// Platform layer (CompanionProcesses_windows.cpp, CompanionProcesses_posix.cpp, or a test fake).
// Walks the running processes, calling visit with each process id and executable file name
// (no directory, bytes as the system gives them). Gives back false when the list cannot be read at
// all (no snapshot, or no first entry); true when it was walked to its end.
[[nodiscard]] bool
walkRunningProcesses(const std::function<void(std::uint32_t processId, const char* exeFile)>& visit);

// Platform layer: opens the process for termination and ends it with the given exit code without
// asking it to close. Gives back false when it could not be opened; a failing termination is not noticed.
[[nodiscard]] bool terminateProcessById(std::uint32_t processId, unsigned int exitCode);

// Takes nothing; ends every running process whose executable name equals one of companionProcessNames,
// letter case ignored, with exit code 1. Gives back false when the process list could not be read.
// Writes each process ended (name, pid), or that none ran, to the run log; does not wait for them to go.
bool terminateCompanionProcesses();
