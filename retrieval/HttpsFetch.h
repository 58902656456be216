#pragma once

#include "base/Limits.h"
#include "base/NewFile.h"

#include <juce_core/juce_core.h>

#include <functional>
#include <memory>
#include <optional>

// Everything the elevated installer fetches (the catalogue and the driver package) comes over https on
// every hop, within bounded waits. The framework's own redirect handling follows any scheme and its
// timeouts cannot be relied on (curl sets none by default; WinINet's are per call and Wine does not
// enforce them), so redirects are followed here and the main thread's polling is the watchdog.

// How long a fetch may wait, and how much it may bring.
struct FetchLimits
{
    int stallMs;          // one request's connection and response headers together; and a body that brings
                          // fewer than minBytesPerStall bytes in this long
    int totalMs;          // the whole fetch, redirects included; 0: no limit
    juce::int64 maxBytes; // a longer body (announced or counted) is refused; 0: no limit
};

// The installer's limits: networkStallLimitMs() for every wait, catalogueTimeLimitMs() and
// maxCatalogueBytes for the catalogue; the package has no time or size limit of its own.
FetchLimits catalogueFetchLimits();
FetchLimits packageDownloadLimits();

struct FetchState; // shared by the main thread and the worker; defined in HttpsFetch.cpp

// A fetch running on a worker thread of its own. The worker writes the body into the file it was given,
// or keeps it in memory when it was given none.
struct FetchTask
{
    std::shared_ptr<FetchState> state;
};

// Takes text; gives back whether it is an absolute https address (scheme in any case, "//" and a host
// after it). The one rule for every address the installer fetches or forms: the fetch, the catalogue
// lookup and catalogue-check all ask it, so an address one accepts is never one another refuses.
[[nodiscard]] bool isHttpsUrl(const juce::String& address);

// Takes the address a response came from and its Location value; gives back the absolute address it
// names (relative forms resolved as a browser does, dot segments removed), or empty text for none.
[[nodiscard]] juce::String resolveRedirectLocation(const juce::String& requestAddress,
                                                   const juce::String& location);

// Whether a fetch hashes its body as it stores it.
enum class BodyHash
{
    none,
    sha256, // the system's SHA-256 (PackageHash.h), fed on the worker as each read is stored
};

// Takes an https address, a file made by createNewFile (or one that is not open: the body stays in memory),
// the limits and whether to hash the body. Starts the worker, which requests the address with the framework
// told to follow no redirect, follows 301/302/303/307/308 to https addresses itself (at most maxRedirects),
// refuses any other scheme without requesting it, and reads the body (the HTTP status is not judged) in
// reads sized to keep the count moving, hashing each read as it is stored when asked to. Gives back the
// running task. Writes nothing but the body.
[[nodiscard]] FetchTask startFetch(const juce::String& address, NewFile target, FetchLimits limits,
                                   BodyHash hash = BodyHash::none);

// Main thread, once per polling pass (at least every pollingSliceMs): takes the task; ends it with an error
// when it has passed a limit, cancelling the stream. Gives back true once the task has finished, with or
// without an error.
[[nodiscard]] bool superviseFetch(FetchTask& task);

// Main thread, once per polling pass between superviseFetch calls: takes the task; when this thread runs
// the framework's message loop (a MessageManager exists and this is its thread), dispatches window messages
// in pieces of dispatchPieceMs, else waits without dispatching; either until pollingSliceMs have passed or
// the task has finished, whichever comes first. Gives back nothing; writes nothing.
void waitOnePollingSlice(const FetchTask& task);

// Take the task; give back whether it ended with an error, the body bytes received so far, and why it
// failed (empty when it did not).
[[nodiscard]] bool fetchHadError(const FetchTask& task);
[[nodiscard]] juce::int64 fetchedBytes(const FetchTask& task);
[[nodiscard]] juce::String fetchFailure(const FetchTask& task);

// Takes a finished task; waits for its worker (a few seconds at most: a worker stuck in a read that the
// cancel did not end is abandoned, and can no longer touch the file). Gives back the file the body was
// written into, still open (not open after an error or when the worker was abandoned), and moves the
// in-memory body into body when it is given.
NewFile endFetch(FetchTask& task, juce::MemoryBlock* body = nullptr);

// Takes a task started with BodyHash::sha256; gives back the SHA-256 of its whole body as 64 lower-case
// hexadecimal digits, computed from the bytes as they were stored. Empty text while the worker runs, when
// the fetch failed or its worker was abandoned, when it was started without hashing, or when the system's
// hashing failed. Writes nothing.
[[nodiscard]] juce::String fetchedSha256(const FetchTask& task);

// What a fetch did so far, for the run log.
struct FetchReport
{
    juce::StringArray hops; // each redirect: "<status> to <address>" (the Location as sent when unusable)
    int status = 0;         // the HTTP status of the last response; 0 when none came
    juce::int64 bytes = 0;  // body bytes received
    juce::int64 elapsedMs = 0;
    juce::String failure; // why it failed; empty when it did not (or has not yet)
};

// Takes a task; gives back its report. Writes nothing.
[[nodiscard]] FetchReport fetchReport(const FetchTask& task);

// Takes an https address, limits and, optionally, a report to fill; fetches the address into memory on a
// worker while the calling thread polls it, a waitOnePollingSlice per pass (so the message thread keeps
// dispatching window messages; a thread without a message loop waits). Gives back the body, or nothing when
// the fetch failed.
[[nodiscard]] std::optional<juce::MemoryBlock>
fetchIntoMemory(const juce::String& address, FetchLimits limits, FetchReport* report = nullptr);

// Takes a task that startFetch began without a file and, optionally, a report to fill and a call to make
// once per polling pass; polls it to its end as fetchIntoMemory does. Gives back the body, or nothing when
// the fetch failed. Lets the caller do other work on its thread between starting a fetch and waiting.
[[nodiscard]] std::optional<juce::MemoryBlock>
awaitFetchIntoMemory(FetchTask& task, FetchReport* report = nullptr,
                     const std::function<void()>& eachPass = {});

// Platform layer (HttpsFetch_posix.cpp, HttpsFetch_windows.cpp): reads from the stream like its read(),
// and sets failed when the read ended because the transfer broke rather than because the body ended
// (WinINet's reader hides a failed read as the end of the body).
[[nodiscard]] int readResponseBody(juce::WebInputStream& stream, void* buffer, int bytesToRead, bool& failed);
