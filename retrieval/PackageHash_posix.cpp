#include "retrieval/PackageHash.h"

#include <openssl/evp.h>

#include <memory>

juce::String sha256OfFile(const juce::File& file)
{
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (context == nullptr || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return {};

    const bool read = readFileInBlocks(file, [&context](const void* data, std::size_t size)
                                       { return EVP_DigestUpdate(context.get(), data, size) == 1; });
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestBytes = 0;
    if (!read || EVP_DigestFinal_ex(context.get(), digest, &digestBytes) != 1 || digestBytes != 32)
        return {};
    return juce::String::toHexString(digest, static_cast<int>(digestBytes), 0);
}
