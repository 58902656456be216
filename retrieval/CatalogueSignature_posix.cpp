#include "retrieval/CatalogueSignature.h"

#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

namespace
{
// Every DER SubjectPublicKeyInfo of a P-256 key with an uncompressed point begins with these bytes; the
// point (0x04 included) follows.
constexpr unsigned char p256SpkiHead[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                          0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                          0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};
} // namespace

bool verifyP256Sha256(const void* data, std::size_t size, const CatalogueSigningKey& key,
                      const RawP256Signature& signature)
{
    unsigned char spki[sizeof p256SpkiHead + 65];
    std::copy(std::begin(p256SpkiHead), std::end(p256SpkiHead), spki);
    std::copy(key.point.begin(), key.point.end(), spki + sizeof p256SpkiHead);
    const unsigned char* reading = spki;
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> publicKey(
        d2i_PUBKEY(nullptr, &reading, static_cast<long>(sizeof spki)), &EVP_PKEY_free);
    if (publicKey == nullptr)
        return false;

    // The signature goes back into DER from r and s: libcrypto takes no other form, and this DER is ours.
    const std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> pair(ECDSA_SIG_new(), &ECDSA_SIG_free);
    BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
    BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
    if (pair == nullptr || r == nullptr || s == nullptr || ECDSA_SIG_set0(pair.get(), r, s) != 1)
    {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char* der = nullptr;
    const int derBytes = i2d_ECDSA_SIG(pair.get(), &der);
    if (derBytes <= 0)
        return false;
    const std::unique_ptr<unsigned char, void (*)(unsigned char*)> derHeld(der, [](unsigned char* bytes)
                                                                           { OPENSSL_free(bytes); });

    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    return context != nullptr &&
           EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, publicKey.get()) == 1 &&
           EVP_DigestVerify(context.get(), der, static_cast<std::size_t>(derBytes),
                            static_cast<const unsigned char*>(data), size) == 1;
}

juce::String sha256OfBytes(const void* data, std::size_t size)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestBytes = 0;
    if (EVP_Digest(data, size, digest, &digestBytes, EVP_sha256(), nullptr) != 1 || digestBytes != 32)
        return {};
    return juce::String::toHexString(digest, static_cast<int>(digestBytes), 0);
}
