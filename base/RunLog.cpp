#include "base/RunLog.h"

#include "app/InstallerExitCode.h"
#include "base/NewFile.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace
{
const char* const fileNameLead = "StrellDriverInstaller-";
const char* const fileNameEnd = ".log";

struct RunLogState
{
    bool started = false;
    bool placed = false;  // lines go to the file
    bool dropped = false; // the log has no place: lines are thrown away
    bool full = false;
    juce::Time start;
    double startMs = 0.0;
    juce::StringArray held;
    juce::int64 heldBytes = 0;
    NewFile file;
    juce::int64 written = 0;
    juce::String reason;
    ExitSource source = ExitSource::installer;
};

RunLogState& runLog()
{
    static RunLogState state;
    return state;
}

juce::String lineFor(const juce::String& event)
{
    const auto elapsed = (juce::int64)(juce::Time::getMillisecondCounterHiRes() - runLog().startMs);
    return juce::String(elapsed).paddedLeft(' ', 7) + " ms  " + event + "\n";
}

// Takes a whole line; writes it to the file. A failed write (a full disk) ends the logging.
void writeLine(const juce::String& line)
{
    auto& log = runLog();
    const char* bytes = line.toRawUTF8();
    const auto size = line.getNumBytesAsUTF8();
    if (!writeNewFile(log.file, bytes, size))
    {
        (void)closeNewFile(log.file);
        log.placed = false;
        log.dropped = true;
        return;
    }
    log.written += (juce::int64)size;
}

// Takes a line and whether it is the exit line; gives back whether it fits under the limit, writing the
// note that the log is full the first time one does not.
bool fitsUnderLimit(juce::int64 sizeSoFar, const juce::String& line, bool exitLine)
{
    auto& log = runLog();
    if (exitLine)
        return true;
    if (!log.full &&
        sizeSoFar + (juce::int64)line.getNumBytesAsUTF8() <= runLogByteLimit - runLogExitLineReserve)
        return true;
    if (!log.full)
    {
        log.full = true;
        const auto note = lineFor("the log is full (" + juce::String(runLogByteLimit) +
                                  " bytes): the events before the exit line are left out");
        if (log.placed)
            writeLine(note);
        else
        {
            log.held.add(note);
            log.heldBytes += (juce::int64)note.getNumBytesAsUTF8();
        }
    }
    return false;
}

void addLine(const juce::String& event, bool exitLine)
{
    auto& log = runLog();
    if (!log.started || log.dropped)
        return;
    const auto line = lineFor(event);
    if (log.placed)
    {
        if (fitsUnderLimit(log.written, line, exitLine))
            writeLine(line);
    }
    else if (fitsUnderLimit(log.heldBytes, line, exitLine))
    {
        log.held.add(line);
        log.heldBytes += (juce::int64)line.getNumBytesAsUTF8();
    }
}

juce::String escapedCharacter(juce::juce_wchar c)
{
    switch (c)
    {
    case '\n':
        return "\\n";
    case '\r':
        return "\\r";
    case '\t':
        return "\\t";
    case '"':
        return "\\\"";
    case '\\':
        return "\\\\";
    default:
        break;
    }
    const bool control = c < 0x20 || (c >= 0x7f && c < 0xa0) || c == 0x2028 || c == 0x2029;
    if (!control)
        return juce::String::charToString(c);
    if (c <= 0xff)
        return "\\x" + juce::String::toHexString((int)c).paddedLeft('0', 2);
    return "\\u{" + juce::String::toHexString((int)c) + "}";
}

// Takes a file name; gives back its sort key (the time in the name, then the suffix as a number), or
// nothing when it is not of the log's name form.
std::optional<std::pair<juce::String, int>> runLogSortKey(const juce::String& name)
{
    if (!name.startsWith(fileNameLead) || !name.endsWith(fileNameEnd))
        return std::nullopt;
    const auto middle =
        name.substring((int)std::strlen(fileNameLead), name.length() - (int)std::strlen(fileNameEnd));
    const auto stamp = middle.substring(0, 15);
    if (stamp.length() != 15 || stamp[8] != '-' || !stamp.removeCharacters("-").containsOnly("0123456789") ||
        stamp.removeCharacters("-").length() != 14)
        return std::nullopt;
    const auto suffix = middle.substring(15);
    if (suffix.isEmpty())
        return std::make_pair(stamp, 1);
    if (suffix.length() != 2 || suffix[0] != '-' || suffix[1] < '2' || suffix[1] > '0' + lastRunLogSuffix)
        return std::nullopt;
    return std::make_pair(stamp, (int)(suffix[1] - '0'));
}

// Takes the log folder and the name of this run's log; deletes the oldest logs beyond runLogsKept. Only the
// run's own logs count: regular files of this user with the log's name form, dated no later than this run
// (a name from the future is no log of ours, and must not push this run's log out). This run's log, links
// and folders are left alone.
void pruneRunLogs(const juce::File& folder, const juce::String& ownName)
{
    juce::StringArray names;
    for (const auto& entry : juce::RangedDirectoryIterator(folder, false, "*", juce::File::findFiles))
    {
        const juce::String name = entry.getFile().getFileName();
        if (name != ownName && isOwnRegularFile(entry.getFile()))
            names.add(name);
    }
    names.add(ownName);
    const auto logs = runLogNamesOldestFirst(names);
    const int newerThanOurs = logs.size() - 1 - logs.indexOf(ownName);
    for (int i = 0; i < logs.size() - newerThanOurs - runLogsKept; ++i)
    {
        const auto old = folder.getChildFile(logs[i]);
        if (logs[i] != ownName && isOwnRegularFile(old))
            old.deleteFile();
    }
}
} // namespace

void startRunLog()
{
    auto& log = runLog();
    (void)closeNewFile(log.file);
    log = {};
    log.started = true;
    log.start = juce::Time::getCurrentTime();
    log.startMs = juce::Time::getMillisecondCounterHiRes();
}

void logRunEvent(const juce::String& event)
{
    addLine(event, false);
}

juce::String outsideText(const juce::String& text)
{
    juce::String quoted = "\"";
    int count = 0;
    for (auto c : text)
    {
        if (count == outsideTextLimit)
            return quoted + "\"... (" + juce::String(text.length() - outsideTextLimit) + " more characters)";
        quoted += escapedCharacter(c);
        ++count;
    }
    return quoted + "\"";
}

void placeRunLog(const juce::File& folder, bool pruneOldLogs)
{
    auto& log = runLog();
    if (!log.started || log.placed || log.dropped)
        return;

    juce::String name;
    for (int attempt = 1; folder != juce::File() && attempt <= lastRunLogSuffix && !log.file.isOpen();
         ++attempt)
    {
        name = runLogFileName(log.start, attempt);
        log.file = createNewFile(folder.getChildFile(name));
    }
    if (!log.file.isOpen())
    {
        log.dropped = true;
        log.held.clear();
        return;
    }
    if (pruneOldLogs)
        pruneRunLogs(folder, name);

    log.placed = true;
    const auto held = std::move(log.held);
    log.held = {};
    for (const auto& line : held)
        if (log.placed)
            writeLine(line);
}

void noteExitReason(const juce::String& reason, ExitSource source)
{
    auto& log = runLog();
    log.reason = reason;
    log.source = source;
}

void amendExitReason(const juce::String& addition)
{
    auto& log = runLog();
    if (log.source == ExitSource::installer && log.reason.isNotEmpty())
        log.reason += addition;
}

void finishRunLog(int exitCode)
{
    auto& log = runLog();
    const auto name = log.source == ExitSource::setupProgram ? juce::String("setupProgramExitCode")
                                                             : installerExitCodeName(exitCode);
    const auto reason = log.reason.isNotEmpty() ? log.reason : juce::String("no reason was recorded");
    addLine("exit " + juce::String(exitCode) + (name.isEmpty() ? "" : " " + name) + ": " + reason, true);
    (void)closeNewFile(log.file);
    log = {};
}

juce::String runLogFileName(juce::Time start, int attempt)
{
    return fileNameLead + start.formatted("%Y%m%d-%H%M%S") +
           (attempt > 1 ? "-" + juce::String(attempt) : juce::String()) + fileNameEnd;
}

juce::StringArray runLogNamesOldestFirst(const juce::StringArray& names)
{
    std::vector<std::pair<std::pair<juce::String, int>, juce::String>> logs;
    for (const auto& name : names)
        if (const auto key = runLogSortKey(name))
            logs.emplace_back(*key, name);
    std::sort(logs.begin(), logs.end(),
              [](const auto& a, const auto& b)
              {
                  const int byTime = a.first.first.compare(b.first.first);
                  return byTime != 0 ? byTime < 0 : a.first.second < b.first.second;
              });
    juce::StringArray sorted;
    for (const auto& log : logs)
        sorted.add(log.second);
    return sorted;
}

juce::String installerExitCodeName(int exitCode)
{
    switch (exitCode)
    {
    case notElevated:
        return "notElevated";
    case setupProgramMissing:
        return "setupProgramMissing";
    case noSupportedDevice:
        return "noSupportedDevice";
    case driverPackageFailed:
        return "driverPackageFailed";
    default:
        return {};
    }
}
