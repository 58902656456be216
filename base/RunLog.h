#pragma once

#include "base/Limits.h"

#include <juce_core/juce_core.h>

// The run log, so that support can tell why a run did not install anything: one UTF-8 text file per run,
// "StrellDriverInstaller-YYYYMMDD-HHMMSS.log" (the local time of the start) in "Tarnwell/Logs" below the
// trusted temporary folder, the runLogsKept newest kept. One line per event: the milliseconds since the
// start, then the event; the last line is the exit code, its name and the reason. Main thread only. Logging
// never changes the run: whatever fails in it, the run goes on exactly as it would without it.

inline constexpr const char* runLogFolderPath = "Tarnwell/Logs";

// Takes nothing; starts the run's log in memory at the current time, which names the file and dates the
// lines. Until placeRunLog lines are held; without startRunLog (tools, tests) logging does nothing.
void startRunLog();

// Takes an event's text (text from outside passed through outsideText first); adds it as one line with the
// time since the start. Held before placeRunLog; then written at once, each line with its own write, so a
// run that is killed keeps what it logged. Dropped when the log has no place or has reached
// runLogByteLimit (one line says so; the exit line is always written).
void logRunEvent(const juce::String& event);

// Takes text that came from outside the installer (a server, a package, a device, the system); gives back
// it quoted on one line: a quote or backslash behind a backslash, control characters as \n, \r, \t or
// \xNN (\u{NNNN} for those beyond 0xFF), and after outsideTextLimit characters "..." and how many were left
// out. Writes nothing.
juce::String outsideText(const juce::String& text);

// Takes the log's folder, prepared once the elevation check has answered ("Tarnwell/Logs" below the trusted
// temporary folder, protected as the working folder is: see runInstaller), or File() when it could not be
// prepared. Creates the file new in it (never through a link or over anything there; a taken name gets
// "-2", "-3"... up to "-9"), writes the held lines and, when asked to prune, deletes the oldest logs beyond
// runLogsKept (the run's own only: regular files of this user with the log's name form, dated no later than
// this run; never this run's log, never a link). When there is no folder or no file can be made, the held
// lines are dropped and nothing more is logged; nothing else is written in their place.
void placeRunLog(const juce::File& folder, bool pruneOldLogs = true);

// Who chose the exit code that the run is about to give back.
enum class ExitSource
{
    installer,    // one of the installer's own codes, for the reason given
    setupProgram, // the setup program's own exit code
};

// Takes why the run ends with the code it is about to give back, and who chose that code. The steps that
// turn a failure into an exit code call it; the last reason noted goes into the exit line.
void noteExitReason(const juce::String& reason, ExitSource source = ExitSource::installer);

// Takes text to add to the reason noted last, when that reason is the installer's own (a setup program's
// exit code is left as it is).
void amendExitReason(const juce::String& addition);

// Takes the process exit code; writes the last line, "exit <code> <name>: <reason>" (<name>: the
// installer's name of its own code, or "setupProgramExitCode"), closes the file and ends the log (the next
// startRunLog begins a new one).
void finishRunLog(int exitCode);

// Takes the start time and the attempt (1: the plain name); gives back the log's file name.
juce::String runLogFileName(juce::Time start, int attempt);

// Takes file names; gives back those of the run log's name form, oldest first (by the time in the name,
// then the suffix).
juce::StringArray runLogNamesOldestFirst(const juce::StringArray& names);

// Takes an exit code; gives back the installer's name for it ("driverPackageFailed"), or empty text.
juce::String installerExitCodeName(int exitCode);
