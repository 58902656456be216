// The fetch against a real HTTPS server on loopback: the SHA-256 taken of a download's bytes as they are
// written. test_fetch_streams.py runs this program in a namespace that trusts the test CA, with our fault server's origin and the file it
// serves in the environment:
//   STRELL_FETCH_ORIGIN   https://localhost:<port>, serving /package (the file, in many small writes),
//                         and /package-broken (the same, reset halfway)
//   STRELL_FETCH_SERVED   the file /package serves
//   STRELL_FETCH_SCRATCH  a folder for the downloads

#include "base/Limits.h"
#include "base/NewFile.h"
#include "retrieval/HttpsFetch.h"
#include "retrieval/PackageHash.h"

#include <gtest/gtest.h>

namespace
{
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
        juce::Thread::sleep(pollingSliceMs);
    NewFile written = endFetch(task);
    if (written.isOpen())
    {
        EXPECT_TRUE(closeNewFile(written));
    }
    return task;
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
