#include "retrieval/PackageHash.h"

#include <openssl/evp.h>

struct Sha256Context
{
    EVP_MD_CTX* digest = nullptr;
};

void Sha256ContextRelease::operator()(Sha256Context* context) const
{
    EVP_MD_CTX_free(context->digest);
    delete context;
}

Sha256Stream startSha256()
{
    Sha256Stream stream;
    stream.context.reset(new Sha256Context{EVP_MD_CTX_new()});
    if (stream.context->digest == nullptr ||
        EVP_DigestInit_ex(stream.context->digest, EVP_sha256(), nullptr) != 1)
        stream.context.reset();
    return stream;
}

bool updateSha256(Sha256Stream& stream, const void* data, std::size_t size)
{
    if (stream.context == nullptr)
        return false;
    if (EVP_DigestUpdate(stream.context->digest, data, size) == 1)
        return true;
    stream.context.reset();
    return false;
}

juce::String finishSha256(Sha256Stream& stream)
{
    if (stream.context == nullptr)
        return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestBytes = 0;
    const bool ok =
        EVP_DigestFinal_ex(stream.context->digest, digest, &digestBytes) == 1 && digestBytes == 32;
    stream.context.reset();
    return ok ? juce::String::toHexString(digest, static_cast<int>(digestBytes), 0) : juce::String();
}
