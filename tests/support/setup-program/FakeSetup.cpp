// A stand-in for the setup program of a driver package. Its behaviour comes from the environment,
// which it inherits from the installer that starts it:
//   FAKE_SETUP_RECORD=<file>          appends one JSON line: argc, argv, commandLine (Windows; else null),
//                                     path (its own program file), windowOpen (a window titled
//                                     "Downloading ASIO driver" exists), descriptors (POSIX: the
//                                     descriptors open at start, {"<n>": "<what it names>"}; else null),
//                                     environment (POSIX: the names of its variables, sorted; else null)
//   FAKE_SETUP_EXIT_CODE=<0..4294967295> its exit code (default 0; POSIX keeps the low 8 bits)
//   FAKE_SETUP_OUTPUT_BYTES=<n>       writes n bytes to standard output and n/4 to standard error
//   FAKE_SETUP_SLEEP_MS=<n>           then sleeps n ms (at most 60000)
//   FAKE_SETUP_PAUSE_READY=<file>     a pause point, before anything else: creates this file, then waits
//   FAKE_SETUP_PAUSE_GO=<file>        until that one exists (polled every 20 ms, at most 60 s; then it
//                                     ends with 125), so a test acts while the installer waits for it
// The record also holds imageHash: the 64-bit FNV-1a hash (16 hex digits) of the program image that runs.
// A malformed variable ends it with exit code 111 before anything else; a record it cannot write with 112.
// It never lives longer than 120 s: then it ends with 124 (so a parent that never reads cannot hang a test).

#include "tests/support/setup-program/FakeSetup.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{
constexpr int badEnvironmentExitCode = 111;
constexpr int recordFailedExitCode = 112;
constexpr int lifetimeExpiredExitCode = 124;
constexpr int pauseExpiredExitCode = 125;
constexpr unsigned pausePollMs = 20;
constexpr unsigned pauseLimitMs = 60000;
constexpr unsigned lifetimeSeconds = 120;
constexpr unsigned long long maxSleepMs = 60000;
constexpr unsigned long long maxOutputBytes = 1ull << 32;
const char* const progressWindowTitle = "Downloading ASIO driver";

// Takes a variable's name, the largest value allowed and a default; gives back its decimal value, or the
// default when unset. Ends the process with badEnvironmentExitCode when it is not a number in range.
unsigned long long numberFromEnvironment(const char* name, unsigned long long maximum,
                                         unsigned long long fallback)
{
    const char* text = std::getenv(name);

    if (text == nullptr || *text == '\0')
        return fallback;

    unsigned long long value = 0;

    for (const char* c = text; *c != '\0'; ++c)
    {
        if (*c < '0' || *c > '9' || value > (maximum - (unsigned)(*c - '0')) / 10)
        {
            std::fprintf(stderr, "fake-setup: %s=%s is not a number from 0 to %llu\n", name, text, maximum);
            exitWith(badEnvironmentExitCode);
        }

        value = value * 10 + (unsigned)(*c - '0');
    }

    return value;
}

// Takes UTF-8 text; gives it back as a JSON string literal.
std::string jsonString(const std::string& text)
{
    std::string out = "\"";

    for (unsigned char c : text)
    {
        if (c == '"' || c == '\\')
        {
            out += '\\';
            out += (char)c;
        }
        else if (c < 0x20)
        {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
            out += escaped;
        }
        else
        {
            out += (char)c;
        }
    }

    return out + "\"";
}

// Takes a file; gives back the 64-bit FNV-1a hash of its bytes as 16 hex digits, or "" when unreadable.
std::string hashOfFile(const std::string& path)
{
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr)
        return "";
    std::uint64_t hash = 14695981039346656037ull;
    unsigned char buffer[65536];
    for (size_t count; (count = std::fread(buffer, 1, sizeof(buffer), in)) > 0;)
        for (size_t i = 0; i < count; ++i)
            hash = (hash ^ buffer[i]) * 1099511628211ull;
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    char text[17];
    std::snprintf(text, sizeof(text), "%016llx", (unsigned long long)hash);
    return failed ? "" : text;
}

// Takes the two pause files (either may be unset); creates the first and waits, bounded, for the second.
// Ends the process with pauseExpiredExitCode when the wait runs out, badEnvironmentExitCode when the
// first cannot be created.
void pauseIfAsked(const char* ready, const char* go)
{
    if (ready == nullptr || *ready == '\0' || go == nullptr || *go == '\0')
        return;
    std::FILE* marker = std::fopen(ready, "wb");
    if (marker == nullptr || std::fclose(marker) != 0)
    {
        std::fprintf(stderr, "fake-setup: cannot create %s\n", ready);
        exitWith(badEnvironmentExitCode);
    }
    for (unsigned waited = 0; waited < pauseLimitMs; waited += pausePollMs)
    {
        if (std::FILE* signal = std::fopen(go, "rb"))
        {
            std::fclose(signal);
            return;
        }
        sleepFor(pausePollMs);
    }
    exitWith(pauseExpiredExitCode);
}

// Takes the invocation; gives back the one-line JSON record of it.
std::string recordLine(const Invocation& invocation)
{
    std::string line = "{\"argc\":" + std::to_string(invocation.arguments.size()) + ",\"argv\":[";

    for (size_t i = 0; i < invocation.arguments.size(); ++i)
        line += (i == 0 ? "" : ",") + jsonString(invocation.arguments[i]);

    line += "],\"commandLine\":" + (invocation.hasCommandLine ? jsonString(invocation.commandLine) : "null");
    line += ",\"path\":" + jsonString(invocation.ownPath);
    line += ",\"descriptors\":";

    if (!invocation.hasDescriptors)
        line += "null";

    for (size_t i = 0; invocation.hasDescriptors && i < invocation.descriptors.size(); ++i)
        line += (i == 0 ? "{" : ",") + jsonString(std::to_string(invocation.descriptors[i].first)) + ":" +
                jsonString(invocation.descriptors[i].second);

    if (invocation.hasDescriptors)
        line += invocation.descriptors.empty() ? "{}" : "}";

    line += ",\"environment\":" + std::string(invocation.hasEnvironment ? "[" : "null");
    for (size_t i = 0; invocation.hasEnvironment && i < invocation.environmentNames.size(); ++i)
        line += (i == 0 ? "" : ",") + jsonString(invocation.environmentNames[i]);
    line += invocation.hasEnvironment ? "]" : "";

    line += ",\"imageHash\":" + jsonString(hashOfFile(invocation.imagePath));
    line += ",\"windowOpen\":" + std::string(isWindowOpen(progressWindowTitle) ? "true" : "false");
    return line + "}\n";
}

// Takes the record file and the line; appends it. Ends the process with recordFailedExitCode on failure.
void appendRecord(const char* file, const std::string& line)
{
    std::FILE* out = std::fopen(file, "ab");
    bool written = out != nullptr && std::fwrite(line.data(), 1, line.size(), out) == line.size();

    if (out != nullptr && std::fclose(out) != 0)
        written = false;

    if (!written)
    {
        std::fprintf(stderr, "fake-setup: cannot append to %s\n", file);
        exitWith(recordFailedExitCode);
    }
}

// Takes a stream, a byte count and a marker; writes that many bytes of repeated marker lines.
void writeBytes(std::FILE* stream, unsigned long long count, const std::string& marker)
{
    std::string chunk;

    while (chunk.size() < 4096)
        chunk += marker;

    while (count > 0)
    {
        const auto now = (size_t)std::min<unsigned long long>(count, chunk.size());

        if (std::fwrite(chunk.data(), 1, now, stream) != now)
            return;

        count -= now;
    }

    std::fflush(stream);
}
} // namespace

int main(int argc, char** argv)
{
    startLifetimeBound(lifetimeSeconds, lifetimeExpiredExitCode);

    const auto exitCode = numberFromEnvironment("FAKE_SETUP_EXIT_CODE", 4294967295ull, 0);
    const auto outputBytes = numberFromEnvironment("FAKE_SETUP_OUTPUT_BYTES", maxOutputBytes, 0);
    const auto sleepMs = std::min(numberFromEnvironment("FAKE_SETUP_SLEEP_MS", ~0ull, 0), maxSleepMs);

    pauseIfAsked(std::getenv("FAKE_SETUP_PAUSE_READY"), std::getenv("FAKE_SETUP_PAUSE_GO"));

    if (const char* record = std::getenv("FAKE_SETUP_RECORD"); record != nullptr && *record != '\0')
        appendRecord(record, recordLine(currentInvocation(argc, argv)));

    prepareOutputStreams();
    writeBytes(stdout, outputBytes, "fake-setup-stdout 0123456789abcdefghijklmnopqrstuvwxyz\n");
    writeBytes(stderr, outputBytes / 4, "fake-setup-stderr 0123456789abcdefghijklmnopqrstuvwxyz\n");

    if (sleepMs > 0)
        sleepFor((unsigned)sleepMs);

    exitWith((std::uint32_t)exitCode);
}
