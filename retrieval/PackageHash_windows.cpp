#include "retrieval/PackageHash.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <limits>

// The provider's own hash object: no object buffer of ours; both handles closed with the record.
struct Sha256Context
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
};

namespace
{
constexpr bool succeeded(NTSTATUS status)
{
    return status >= 0;
}
} // namespace

void Sha256ContextRelease::operator()(Sha256Context* context) const
{
    if (context->hash != nullptr)
        BCryptDestroyHash(context->hash);
    if (context->algorithm != nullptr)
        BCryptCloseAlgorithmProvider(context->algorithm, 0);
    delete context;
}

Sha256Stream startSha256()
{
    Sha256Stream stream;
    stream.context.reset(new Sha256Context{});
    Sha256Context& context = *stream.context;
    if (!succeeded(BCryptOpenAlgorithmProvider(&context.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !succeeded(BCryptCreateHash(context.algorithm, &context.hash, nullptr, 0, nullptr, 0, 0)))
        stream.context.reset();
    return stream;
}

bool updateSha256(Sha256Stream& stream, const void* data, std::size_t size)
{
    if (stream.context == nullptr)
        return false;
    // BCrypt takes a ULONG count: larger pieces go in several calls.
    auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    while (size > 0)
    {
        const ULONG piece =
            static_cast<ULONG>(std::min<std::size_t>(size, std::numeric_limits<ULONG>::max()));
        if (!succeeded(BCryptHashData(stream.context->hash, bytes, piece, 0)))
        {
            stream.context.reset();
            return false;
        }
        bytes += piece;
        size -= piece;
    }
    return true;
}

juce::String finishSha256(Sha256Stream& stream)
{
    if (stream.context == nullptr)
        return {};
    UCHAR digest[32];
    const bool ok = succeeded(BCryptFinishHash(stream.context->hash, digest, sizeof digest, 0));
    stream.context.reset();
    return ok ? juce::String::toHexString(digest, sizeof digest, 0) : juce::String();
}
