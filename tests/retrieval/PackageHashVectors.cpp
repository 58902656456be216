// The package hash against known SHA-256 vectors, on files as the installer hashes them: a plain program
// (no test framework) so that the Windows build runs it under Wine exactly as the Linux build runs it.
// Takes nothing; writes its files into a scratch folder of the temporary folder and removes it; prints one
// line per failed check; gives back the number of failed checks.

#include "retrieval/PackageHash.h"

#include <cstdio>
#include <string>

namespace
{
int failures = 0;

void check(bool ok, const juce::String& what)
{
    if (!ok)
    {
        ++failures;
        std::printf("FAILED: %s\n", what.toRawUTF8());
    }
}

// Takes a folder, a name and the bytes; gives back the file written there with those bytes.
juce::File fileWith(const juce::File& folder, const juce::String& name, const std::string& bytes)
{
    const juce::File file = folder.getChildFile(name);
    // The framework deletes a file that is "replaced" with no bytes: an empty one is created instead.
    check(bytes.empty() ? file.create().wasOk() : file.replaceWithData(bytes.data(), bytes.size()),
          "writing " + name);
    return file;
}

void expectHash(const juce::File& folder, const juce::String& name, const std::string& bytes,
                const juce::String& expected)
{
    const juce::String actual = sha256OfFile(fileWith(folder, name, bytes));
    check(actual == expected, name + ": " + actual + " instead of " + expected);
}
} // namespace

int main()
{
    const juce::File folder = juce::File::createTempFile("package-hash");
    check(folder.createDirectory(), "creating the scratch folder");

    // FIPS 180-2 examples and the empty input.
    expectHash(folder, "empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    expectHash(folder, "abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    expectHash(folder, "two-blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
               "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    expectHash(folder, "million-a", std::string(1000000, 'a'),
               "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

    // Exactly one 1 MiB read block, and three blocks with a part of a fourth (values from coreutils'
    // sha256sum).
    expectHash(folder, "one-block", std::string(1024 * 1024, 'a'),
               "9bc1b2a288b26af7257a36277ae3816a7d4f16e89c1e7e77d0a5c48bad62b360");
    expectHash(folder, "three-blocks-and-more", std::string(3 * 1024 * 1024 + 12345, 'a'),
               "fe6cdde66148cb0b04e722df8dd3441bacff211431e3e65d0b2d408670b329f7");

    // The catalogue's text matches in either case; a changed byte, a malformed text or no file never does.
    const juce::File abc = folder.getChildFile("abc");
    check(fileMatchesSha256(abc, "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"),
          "upper case");
    check(!fileMatchesSha256(abc, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ae"),
          "one digit");
    check(!fileMatchesSha256(abc, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015a"),
          "63 digits");
    check(!fileMatchesSha256(abc, ""), "empty text");
    check(sha256OfFile(folder.getChildFile("missing")).isEmpty(), "a missing file has no hash");
    check(sha256OfFile(folder).isEmpty(), "a folder has no hash");

    folder.deleteRecursively(false);
    std::printf("%d failed\n", failures);
    return failures;
}
