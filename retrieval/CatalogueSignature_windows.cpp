#include "retrieval/CatalogueSignature.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstring>
#include <limits>

namespace
{
constexpr bool succeeded(NTSTATUS status)
{
    return status >= 0;
}

// Takes bytes and 32 bytes to fill; hashes them with the system's SHA-256. Gives back whether it did.
bool sha256Into(const void* data, std::size_t size, UCHAR* digest)
{
    if (size > std::numeric_limits<ULONG>::max())
        return false;
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!succeeded(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return false;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = succeeded(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    ok = ok && succeeded(BCryptHashData(hash, static_cast<PUCHAR>(const_cast<void*>(data)),
                                        static_cast<ULONG>(size), 0));
    ok = ok && succeeded(BCryptFinishHash(hash, digest, 32, 0));
    if (hash != nullptr)
        BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return ok;
}
} // namespace

bool verifyP256Sha256(const void* data, std::size_t size, const CatalogueSigningKey& key,
                      const RawP256Signature& signature)
{
    UCHAR digest[32];
    if (key.point[0] != 0x04 || !sha256Into(data, size, digest))
        return false;

    // The public key blob: its header, then X and Y (the point without its 0x04).
    UCHAR blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
    BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob, &header, sizeof header);
    std::memcpy(blob + sizeof header, key.point.data() + 1, 64);

    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!succeeded(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0)))
        return false;
    BCRYPT_KEY_HANDLE publicKey = nullptr;
    bool verified = succeeded(
        BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &publicKey, blob, sizeof blob, 0));
    // Only success counts: STATUS_INVALID_SIGNATURE and every other failure read as not verified.
    verified = verified && BCryptVerifySignature(publicKey, nullptr, digest, sizeof digest,
                                                 const_cast<PUCHAR>(signature.data()),
                                                 static_cast<ULONG>(signature.size()), 0) == 0;
    if (publicKey != nullptr)
        BCryptDestroyKey(publicKey);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return verified;
}

juce::String sha256OfBytes(const void* data, std::size_t size)
{
    UCHAR digest[32];
    return sha256Into(data, size, digest) ? juce::String::toHexString(digest, sizeof digest, 0)
                                          : juce::String();
}
