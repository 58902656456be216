// The fetch against a real HTTPS server on loopback: the SHA-256 taken of a download's bytes as they are
// written, and the message thread's dispatching while a catalogue answer is held back. test_fetch_streams.py
// runs this program in a namespace that trusts the test CA, with our fault server's origin and the file it
// serves in the environment:
//   STRELL_FETCH_ORIGIN   https://localhost:<port>, serving /package (the file, in many small writes),
//                         /package-broken (the same, reset halfway) and /catalogue-held (a small catalogue
//                         whose status line waits 2 s)
//   STRELL_FETCH_SERVED   the file /package serves
//   STRELL_FETCH_SCRATCH  a folder for the downloads

#include "base/Limits.h"
#include "base/NewFile.h"
#include "retrieval/HttpsFetch.h"
#include "retrieval/PackageHash.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <gtest/gtest.h>

#include <algorithm>

namespace
{
constexpr juce::int64 heldAnswerMs = 2000; // how long /catalogue-held keeps its status line back
constexpr juce::int64 largestDispatchGapMs = 100;
constexpr int samplerIntervalMs = 5;

// Takes an environment variable's name; gives back its value, failing the test when it is unset.
juce::String setting(const char* name)
{
    const juce::String value = juce::SystemStats::getEnvironmentVariable(name, {});
    EXPECT_TRUE(value.isNotEmpty()) << name << " is not set: run this program through test_fetch_streams.py";
    return value;
}

// Takes a route's path, a new file's name in the scratch folder and whether to hash; fetches the route into
// that file, polling without a message loop (as catalogue-check does). Gives back the finished task; the
// file is closed.
FetchTask fetchToFile(const juce::String& path, const juce::String& fileName, BodyHash hash)
{
    const juce::File file = juce::File(setting("STRELL_FETCH_SCRATCH")).getChildFile(fileName);
    file.deleteFile();
    NewFile target = createNewFile(file);
    EXPECT_TRUE(target.isOpen()) << file.getFullPathName();
    FetchTask task =
        startFetch(setting("STRELL_FETCH_ORIGIN") + path, std::move(target), packageDownloadLimits(), hash);
    EXPECT_TRUE(fetchedSha256(task).isEmpty()) << "a digest claimed before the body was read";
    for (int passes = 0; !superviseFetch(task) && passes < 2400; ++passes) // bounded: two minutes of slices
        waitOnePollingSlice(task);
    NewFile written = endFetch(task);
    if (written.isOpen())
    {
        EXPECT_TRUE(closeNewFile(written));
    }
    return task;
}

// What the message thread's sampler saw: the largest time between two of its calls, and how many.
struct DispatchGaps
{
    juce::int64 lastMs = 0;
    juce::int64 largestMs = 0;
    int calls = 0;
    bool running = false;
};
DispatchGaps gaps;

// Takes nothing; records the time since its last call, and comes back after samplerIntervalMs for as long
// as the sampler runs. Runs only when the message loop dispatches.
void sampleDispatch()
{
    if (!gaps.running)
        return;
    const auto now = juce::Time::getMillisecondCounter();
    gaps.largestMs = std::max<juce::int64>(gaps.largestMs, now - gaps.lastMs);
    gaps.lastMs = now;
    ++gaps.calls;
    juce::Timer::callAfterDelay(samplerIntervalMs, sampleDispatch);
}
} // namespace

TEST(FetchStream, DigestTakenAsTheBodyIsWrittenIsTheWrittenFilesDigest)
{
    const juce::File served(setting("STRELL_FETCH_SERVED"));
    const juce::String expected = sha256OfFile(served);
    ASSERT_EQ(expected.length(), 64);

    // The server writes the file in 32 KiB pieces with pauses: the worker reads it in many reads.
    FetchTask hashed = fetchToFile("/package", "hashed", BodyHash::sha256);
    ASSERT_FALSE(fetchHadError(hashed)) << fetchFailure(hashed);
    const juce::File written = juce::File(setting("STRELL_FETCH_SCRATCH")).getChildFile("hashed");
    EXPECT_EQ(written.getSize(), served.getSize());
    EXPECT_EQ(fetchedSha256(hashed), sha256OfFile(written));
    EXPECT_EQ(fetchedSha256(hashed), expected);

    // Without hashing asked for, the same download claims no digest.
    FetchTask plain = fetchToFile("/package", "plain", BodyHash::none);
    ASSERT_FALSE(fetchHadError(plain)) << fetchFailure(plain);
    EXPECT_TRUE(fetchedSha256(plain).isEmpty());
}

TEST(FetchStream, DownloadThatBreaksHalfwayClaimsNoDigest)
{
    const juce::File served(setting("STRELL_FETCH_SERVED"));
    FetchTask broken = fetchToFile("/package-broken", "broken", BodyHash::sha256);
    EXPECT_TRUE(fetchHadError(broken));
    // Part of the body was stored, and so hashed, before the connection was reset.
    EXPECT_GT(fetchedBytes(broken), 0);
    EXPECT_LT(fetchedBytes(broken), served.getSize());
    EXPECT_TRUE(fetchedSha256(broken).isEmpty()) << fetchedSha256(broken);
}

TEST(FetchStream, MessageThreadDispatchesWhileTheCatalogueAnswerIsHeld)
{
    const juce::ScopedJuceInitialiser_GUI framework;
    ASSERT_TRUE(juce::MessageManager::getInstance()->isThisTheMessageThread());

    gaps = {};
    gaps.running = true;
    const auto started = juce::Time::getMillisecondCounter();
    gaps.lastMs = started;
    juce::Timer::callAfterDelay(samplerIntervalMs, sampleDispatch);
    FetchReport report;
    const auto body =
        fetchIntoMemory(setting("STRELL_FETCH_ORIGIN") + "/catalogue-held", catalogueFetchLimits(), &report);
    const auto ended = juce::Time::getMillisecondCounter();
    gaps.running = false;
    // The time from the last dispatch to the fetch's end counts as a gap too.
    gaps.largestMs = std::max<juce::int64>(gaps.largestMs, ended - gaps.lastMs);

    ASSERT_TRUE(body.has_value()) << report.failure;
    EXPECT_EQ(report.status, 200);
    EXPECT_GT(body->getSize(), 0u);
    EXPECT_GE(ended - started, heldAnswerMs) << "the server did not hold its answer";
    EXPECT_LE(gaps.largestMs, largestDispatchGapMs) << gaps.calls << " dispatches";
    EXPECT_GE(gaps.calls, (int)(heldAnswerMs / largestDispatchGapMs));
}
