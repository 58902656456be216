#include "retrieval/PackageHash.h"

#include <windows.h>

#include <bcrypt.h>

#include <limits>

namespace
{
constexpr bool succeeded(NTSTATUS status)
{
    return status >= 0;
}
} // namespace

juce::String sha256OfFile(const juce::File& file)
{
    // The provider's own hash object: no object buffer of ours, closed on every path.
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!succeeded(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return {};
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = succeeded(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));

    ok = ok && readFileInBlocks(
                   file,
                   [hash](const void* data, std::size_t size)
                   {
                       return size <= std::numeric_limits<ULONG>::max() &&
                              succeeded(BCryptHashData(hash, static_cast<PUCHAR>(const_cast<void*>(data)),
                                                       static_cast<ULONG>(size), 0));
                   });
    UCHAR digest[32];
    ok = ok && succeeded(BCryptFinishHash(hash, digest, sizeof digest, 0));

    if (hash != nullptr)
        BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return ok ? juce::String::toHexString(digest, sizeof digest, 0) : juce::String();
}
