#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// How the stand-in setup program was started, as the OS hands it over.
struct Invocation
{
    std::vector<std::string> arguments; // argv, UTF-8
    bool hasCommandLine = false;        // Windows only: the whole command line as one text
    std::string commandLine;
    std::string ownPath;   // the program file that runs, UTF-8
    std::string imagePath; // where the image that runs can be read (POSIX: /proc/self/exe, not the path)
    bool hasDescriptors = false; // POSIX only: the descriptors open at start and what each one names
    std::vector<std::pair<int, std::string>> descriptors;
    bool hasEnvironment = false; // POSIX only: the names of the variables it was given, sorted
    std::vector<std::string> environmentNames;
};

// Platform layer (FakeSetup_posix.cpp, FakeSetup_windows.cpp).

// Takes main's arguments; gives back the invocation (Windows: parsed again from the wide command line;
// POSIX: with the descriptors open at the call).
Invocation currentInvocation(int argc, char** argv);

// Takes a window title; gives back whether a window with exactly that title exists on this desktop
// (POSIX: on the X display of $DISPLAY, false without one).
bool isWindowOpen(const std::string& title);

// Puts standard output and standard error into binary mode, so byte counts are what was written.
void prepareOutputStreams();

// Blocks the calling thread for the given milliseconds.
void sleepFor(unsigned milliseconds);

// Ends the process with the given exit code after the given seconds, whatever the main thread is doing
// (for instance blocked writing to a pipe nobody reads).
void startLifetimeBound(unsigned seconds, int exitCode);

// Ends the process with the given code (POSIX keeps its low 8 bits, Windows all 32).
[[noreturn]] void exitWith(std::uint32_t code);
