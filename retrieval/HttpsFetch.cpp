#include "retrieval/HttpsFetch.h"

#include "base/Limits.h"
#include "retrieval/PackageHash.h"

#include <juce_events/juce_events.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

struct FetchState
{
    // Fixed before the worker starts.
    juce::String address;
    FetchLimits limits{};
    bool writesToFile = false;
    juce::int64 startMs = 0;

    // Guarded by mutex. The worker never holds it while it waits on the network, so the main thread can
    // always take it to cancel, or to take the file away from a worker it abandons.
    std::mutex mutex;
    std::vector<std::unique_ptr<juce::WebInputStream>> streams; // destroyed with the state, never mid-cancel
    juce::WebInputStream* currentStream = nullptr;
    NewFile target;
    juce::MemoryBlock memoryBody;
    juce::String failure;
    juce::StringArray hops;  // each redirect: "<status> to <address>"
    int status = 0;          // the HTTP status of the last response
    Sha256Stream bodyHash;   // fed every body byte as it is stored, when the fetch hashes its body
    juce::String bodySha256; // the body's SHA-256, set once the worker has stored the whole body
    bool cancelled = false;  // the outcome is decided; the worker writes nothing more
    bool abandoned = false;  // the main thread has stopped waiting for the worker and took the file

    std::atomic<bool> finished{false};
    std::atomic<bool> failed{false};
    std::atomic<bool> workerDone{false};
    std::atomic<bool> receivingBody{false};
    std::atomic<juce::int64> requestStartMs{0};
    std::atomic<juce::int64> bytesReceived{0};
    juce::WaitableEvent done{true};

    // Main thread only: the stall watchdog's last checkpoint in the body.
    juce::int64 checkpointMs = -1;
    juce::int64 checkpointBytes = 0;
};

namespace
{
juce::int64 nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool isAsciiLetter(juce::juce_wchar c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Takes text; gives back the length of its URI scheme (the part before the first ":"), or 0 for none.
int schemeLength(const juce::String& text)
{
    if (text.isEmpty() || !isAsciiLetter(text[0]))
        return 0;
    for (int i = 1; i < text.length(); ++i)
    {
        const auto c = text[i];
        if (c == ':')
            return i;
        if (!(isAsciiLetter(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'))
            return 0;
    }
    return 0;
}

// Takes a path; gives back the path with its "." and ".." segments applied, as a browser resolves them.
juce::String withoutDotSegments(const juce::String& path)
{
    juce::StringArray input = juce::StringArray::fromTokens(path, "/", "");
    juce::StringArray output;
    for (int i = 0; i < input.size(); ++i)
    {
        const auto& segment = input[i];
        const bool last = i == input.size() - 1;
        if (segment == "." || segment == "..")
        {
            if (segment == ".." && output.size() > 1)
                output.remove(output.size() - 1);
            if (last)
                output.add({}); // "a/.." names the folder "a/"
        }
        else
            output.add(segment);
    }
    auto joined = output.joinIntoString("/");
    return joined.startsWithChar('/') ? joined : "/" + joined;
}

// Worker side: takes an address that gave no HTTP response; gives back why, as far as one plain
// connection to its host and port can tell (the framework does not say why a request failed).
juce::String noResponseReason(const juce::String& address)
{
    const juce::URL url(address);
    const int port = url.getPort() > 0 ? url.getPort() : 443;
    juce::StreamingSocket probe;
    const bool accepted = probe.connect(url.getDomain(), port, noResponseProbeTimeoutMs);
    probe.close();
    return "no HTTP response from " + address +
           (accepted
                ? juce::String(": a connection was made, but the secure connection failed or was closed "
                               "before a response (is the server's certificate trusted?)")
                : ": nothing accepted a connection at " + url.getDomain() + " port " + juce::String(port));
}

bool isRedirectStatus(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Takes the state and why it failed; ends the fetch with an error unless its outcome is already decided.
// Gives back the stream to cancel (the caller cancels it without holding the lock), or nullptr.
juce::WebInputStream* decideFailure(FetchState& state, const juce::String& why)
{
    if (state.cancelled)
        return nullptr;
    state.cancelled = true;
    state.failure = why;
    state.failed = true;
    state.finished = true;
    state.done.signal();
    return state.currentStream;
}

// Worker side: records the outcome (unless the watchdog decided it first) and that the worker is done.
void finishWorker(FetchState& state, const juce::String& failure)
{
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.cancelled)
    {
        state.cancelled = true;
        state.failure = failure;
        state.failed = failure.isNotEmpty();
        state.finished = true;
        if (!state.failed && state.bodyHash.context != nullptr)
            state.bodySha256 = finishSha256(state.bodyHash);
    }
    state.workerDone = true;
    state.done.signal();
}

// Worker side: takes the state and bytes read; stores them in the file or in memory and, when the fetch
// hashes its body, hands the same bytes to its hash (a failing hash only leaves the body without a digest).
// Gives back why storing failed, or empty text.
juce::String storeBody(FetchState& state, const char* bytes, int count)
{
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.cancelled)
        return "cancelled";
    if (state.writesToFile)
    {
        if (!writeNewFile(state.target, bytes, static_cast<std::size_t>(count)))
            return "the downloaded file could not be written";
    }
    else
        state.memoryBody.append(bytes, static_cast<std::size_t>(count));
    if (state.bodyHash.context != nullptr)
        (void)updateSha256(state.bodyHash, bytes, static_cast<std::size_t>(count));
    const auto total = state.bytesReceived += count;
    if (state.limits.maxBytes > 0 && total > state.limits.maxBytes)
        return "the body is longer than " + juce::String(state.limits.maxBytes) + " bytes";
    return {};
}

// Worker side: reads the body of the response the stream holds. Gives back why it failed, or empty text.
juce::String readBody(FetchState& state, juce::WebInputStream& stream)
{
    const juce::int64 announced = stream.getTotalLength();
    if (state.limits.maxBytes > 0 && announced > state.limits.maxBytes)
        return "the body announces " + juce::String(announced) + " bytes, more than " +
               juce::String(state.limits.maxBytes);

    // The framework's readers fill the whole buffer before they return. Small reads keep the count moving
    // on a slow link; large ones keep the curl reader from moving its whole buffer forward on every read.
    juce::HeapBlock<char> buffer(largestBodyRead);
    int readSize = smallestBodyRead;
    for (;;)
    {
        const auto readStart = nowMs();
        bool broken = false;
        const int count = readResponseBody(stream, buffer.get(), readSize, broken);
        if (count > 0)
            if (const auto whyNot = storeBody(state, buffer.get(), count); whyNot.isNotEmpty())
                return whyNot;

        const auto total = state.bytesReceived.load();
        const auto broke = "the transfer broke off after " + juce::String(total) + " bytes";
        if (broken || (count == 0 && !stream.isExhausted())) // never loop on reads that bring nothing
            return broke;
        if (count < readSize && stream.isExhausted())
        {
            if (announced >= 0 && total != announced)
                return "the body ended after " + juce::String(total) + " of " + juce::String(announced) +
                       " announced bytes";
            return {};
        }

        const auto took = nowMs() - readStart;
        if (took < aimedBodyReadMs / 2)
            readSize = std::min(readSize * 2, largestBodyRead);
        else if (took > aimedBodyReadMs * 2)
            readSize = std::max(readSize / 2, smallestBodyRead);
    }
}

// Worker side: the whole fetch, redirects included. Gives back why it failed, or empty text.
juce::String fetch(FetchState& state)
{
    juce::String address = state.address;
    for (int redirects = 0;; ++redirects)
    {
        if (!isHttpsUrl(address))
            return "refused to fetch a non-https address: " + address;

        auto owned = std::make_unique<juce::WebInputStream>(juce::URL(address), false);
        owned->withNumRedirectsToFollow(0);
        juce::WebInputStream& stream = *owned;
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            if (state.cancelled)
                return "cancelled";
            state.streams.push_back(std::move(owned));
            state.currentStream = &stream;
        }
        state.requestStartMs = nowMs();

        if (!stream.connect(nullptr))
            return noResponseReason(address);

        const int status = stream.getStatusCode();
        if (status == 0)
            return noResponseReason(address);
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            state.status = status;
        }
        if (!isRedirectStatus(status))
        {
            state.receivingBody = true;
            return readBody(state, stream);
        }

        if (redirects == maxRedirects)
            return "more than " + juce::String(maxRedirects) + " redirects, the last from " + address;
        const auto location = stream.getResponseHeaders().getValue("Location", {});
        const auto next = resolveRedirectLocation(address, location);
        {
            // The redirect's connection is closed before the next one opens.
            std::lock_guard<std::mutex> lock(state.mutex);
            if (state.cancelled)
                return "cancelled";
            state.hops.add(juce::String(status) + " to " + (next.isEmpty() ? location : next));
            state.currentStream = nullptr;
            state.streams.pop_back();
        }
        if (next.isEmpty())
            return "redirect " + juce::String(status) + " from " + address + " names no usable address";
        address = next;
    }
}
} // namespace

bool isHttpsUrl(const juce::String& address)
{
    return schemeLength(address) == 5 && address.startsWithIgnoreCase("https://") && address.length() > 8;
}

juce::String resolveRedirectLocation(const juce::String& requestAddress, const juce::String& location)
{
    const auto trimmed = location.trim();
    // Control characters or blanks have no place in an address; a server that sends them is not followed.
    for (auto c : trimmed)
        if (c <= 0x20 || c == 0x7f)
            return {};
    if (trimmed.isEmpty())
        return {};

    juce::String resolved;
    if (schemeLength(trimmed) > 0)
        resolved = trimmed;
    else
    {
        const int scheme = schemeLength(requestAddress);
        const auto afterScheme = requestAddress.substring(scheme + 1);
        if (scheme == 0 || !afterScheme.startsWith("//"))
            return {};
        if (trimmed.startsWith("//"))
            resolved = requestAddress.substring(0, scheme + 1) + trimmed;
        else
        {
            const int authorityEnd = afterScheme.indexOfAnyOf("/?#", 2);
            const auto origin = requestAddress.substring(0, scheme + 1) +
                                (authorityEnd < 0 ? afterScheme : afterScheme.substring(0, authorityEnd));
            const auto pathAndMore = authorityEnd < 0 ? juce::String() : afterScheme.substring(authorityEnd);
            const int pathEnd = pathAndMore.indexOfAnyOf("?#");
            auto basePath = pathEnd < 0 ? pathAndMore : pathAndMore.substring(0, pathEnd);
            if (basePath.isEmpty())
                basePath = "/";
            const auto baseQuery =
                pathEnd < 0 ? juce::String()
                            : pathAndMore.substring(pathEnd).upToFirstOccurrenceOf("#", false, false);

            const int locationPathEnd = trimmed.indexOfAnyOf("?#");
            const auto locationPath = locationPathEnd < 0 ? trimmed : trimmed.substring(0, locationPathEnd);
            const auto locationRest =
                locationPathEnd < 0 ? juce::String() : trimmed.substring(locationPathEnd);

            if (locationPath.isEmpty())
                resolved = origin + basePath +
                           (locationRest.startsWithChar('#') ? baseQuery : juce::String()) + locationRest;
            else if (locationPath.startsWithChar('/'))
                resolved = origin + withoutDotSegments(locationPath) + locationRest;
            else
                resolved =
                    origin +
                    withoutDotSegments(basePath.upToLastOccurrenceOf("/", true, false) + locationPath) +
                    locationRest;
        }
    }
    // A fragment is never sent to a server.
    return resolved.upToFirstOccurrenceOf("#", false, false);
}

FetchLimits catalogueFetchLimits()
{
    return {networkStallLimitMs(), catalogueTimeLimitMs(), maxCatalogueBytes};
}

FetchLimits packageDownloadLimits()
{
    return {networkStallLimitMs(), 0, 0};
}

FetchTask startFetch(const juce::String& address, NewFile target, FetchLimits limits, BodyHash hash)
{
    auto state = std::make_shared<FetchState>();
    state->address = address;
    state->limits = limits;
    if (hash == BodyHash::sha256)
        state->bodyHash = startSha256();
    state->writesToFile = target.isOpen();
    state->target = std::move(target);
    state->startMs = nowMs();
    state->requestStartMs = state->startMs;

    if (!juce::Thread::launch([state] { finishWorker(*state, fetch(*state)); }))
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        decideFailure(*state, "no worker thread could be started");
        state->workerDone = true;
    }
    return {state};
}

bool superviseFetch(FetchTask& task)
{
    FetchState& state = *task.state;
    if (state.finished)
        return true;

    const auto now = nowMs();
    const auto stall = juce::String(state.limits.stallMs / 1000.0, 1) + " s";
    juce::String why;
    if (state.limits.totalMs > 0 && now - state.startMs > state.limits.totalMs)
        why = "not complete within " + juce::String(state.limits.totalMs / 1000.0, 1) + " s";
    else if (!state.receivingBody)
    {
        if (now - state.requestStartMs > state.limits.stallMs)
            why = "no response within " + stall;
    }
    else
    {
        const auto bytes = state.bytesReceived.load();
        if (state.checkpointMs < 0 || bytes - state.checkpointBytes >= minBytesPerStall)
        {
            state.checkpointMs = now;
            state.checkpointBytes = bytes;
        }
        else if (now - state.checkpointMs > state.limits.stallMs)
            why = "fewer than " + juce::String(minBytesPerStall) + " bytes arrived in " + stall + " (after " +
                  juce::String(bytes) + " bytes)";
    }
    if (why.isEmpty())
        return false;

    juce::WebInputStream* toCancel = nullptr;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        toCancel = decideFailure(state, why);
    }
    // The stream stays alive: once the fetch is cancelled the worker adds or destroys none.
    if (toCancel != nullptr)
        toCancel->cancel();
    return true;
}

bool fetchHadError(const FetchTask& task)
{
    return task.state->failed;
}

juce::int64 fetchedBytes(const FetchTask& task)
{
    return task.state->bytesReceived;
}

juce::String fetchFailure(const FetchTask& task)
{
    std::lock_guard<std::mutex> lock(task.state->mutex);
    return task.state->failure;
}

NewFile endFetch(FetchTask& task, juce::MemoryBlock* body)
{
    FetchState& state = *task.state;
    if (!state.workerDone)
        for (int waited = 0; !state.workerDone && waited < fetchAbandonAfterMs; waited += pollingSliceMs)
            juce::Thread::sleep(pollingSliceMs);

    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.workerDone)
        state.abandoned = true;
    state.cancelled = true;
    if (body != nullptr && !state.failed)
        *body = std::move(state.memoryBody);
    if (state.failed || state.abandoned)
    {
        if (state.target.isOpen())
            (void)closeNewFile(state.target);
        return {};
    }
    return std::move(state.target);
}

juce::String fetchedSha256(const FetchTask& task)
{
    const FetchState& state = *task.state;
    std::lock_guard<std::mutex> lock(task.state->mutex);
    return state.workerDone && !state.failed && !state.abandoned ? state.bodySha256 : juce::String();
}

void waitOnePollingSlice(const FetchTask& task)
{
    FetchState& state = *task.state;
    auto* messages = juce::MessageManager::getInstanceWithoutCreating();
    const auto end = nowMs() + pollingSliceMs;
    if (messages != nullptr && messages->isThisTheMessageThread())
        // In pieces, so that the end of the fetch is seen within one piece rather than one slice.
        for (juce::int64 left = pollingSliceMs; left > 0 && !state.finished; left = end - nowMs())
            if (!messages->runDispatchLoopUntil((int)std::min<juce::int64>(left, dispatchPieceMs)))
                break; // the loop was told to quit: it dispatches nothing more, so wait below instead
    const auto left = end - nowMs();
    if (left > 0 && !state.finished)
        state.done.wait((int)left);
}

FetchReport fetchReport(const FetchTask& task)
{
    const FetchState& state = *task.state;
    std::lock_guard<std::mutex> lock(task.state->mutex);
    return {state.hops, state.status, state.bytesReceived.load(), nowMs() - state.startMs, state.failure};
}

std::optional<juce::MemoryBlock> fetchIntoMemory(const juce::String& address, FetchLimits limits,
                                                 FetchReport* report)
{
    FetchTask task = startFetch(address, NewFile(), limits);
    return awaitFetchIntoMemory(task, report);
}

std::optional<juce::MemoryBlock> awaitFetchIntoMemory(FetchTask& task, FetchReport* report,
                                                      const std::function<void()>& eachPass)
{
    while (!superviseFetch(task))
    {
        waitOnePollingSlice(task);
        if (eachPass)
            eachPass();
    }

    juce::MemoryBlock body;
    endFetch(task, &body);
    if (report != nullptr)
        *report = fetchReport(task);
    if (fetchHadError(task))
        return std::nullopt;
    return body;
}
