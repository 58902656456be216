#pragma once

#include "base/Limits.h"

#include <juce_core/juce_core.h>

#include <array>
#include <cstddef>
#include <optional>
#include <vector>

// A signed catalogue ends with one comment after its root element, followed by nothing but spaces, tabs,
// CR and LF:
//     <!-- catalogue-signature ecdsa-p256-sha256 BASE64 -->
// BASE64 is the standard base64 of the DER ECDSA-with-SHA-256 signature over every byte of the document
// before the "<!--" that opens this comment. A build made with signing keys reads a catalogue only when
// its signature verifies under one of them, before any of it is parsed.

// One built-in public key: its uncompressed point (0x04, X, Y) and fingerprint (the first 16 hexadecimal
// digits of the SHA-256 of its DER SubjectPublicKeyInfo).
struct CatalogueSigningKey
{
    std::array<unsigned char, 65> point{};
    juce::String fingerprint;
};

// An ECDSA P-256 signature as the system's verifiers take it: r then s, each 32 bytes, left-padded.
using RawP256Signature = std::array<unsigned char, 64>;

// Per variant (CatalogueSigningKeys.cpp, from the build's CATALOGUE_SIGNING_KEYS): takes nothing; gives
// back the keys a catalogue must be signed by, none when the build has none. Writes nothing.
[[nodiscard]] std::vector<CatalogueSigningKey> catalogueSigningKeys();

// Per variant, beside it: takes nothing; gives back the run log's line on whether a signature is required
// and by which keys. Writes nothing.
[[nodiscard]] juce::String describeCatalogueSigning();

enum class SignatureOutcome
{
    verified,      // keyIndex names the key it verified under
    missing,       // no signature comment at the end
    malformed,     // a signature comment that is not one (algorithm, base64, DER, length)
    noKeyVerifies, // well formed, but verifies under none of the keys
};

struct SignatureCheck
{
    SignatureOutcome outcome = SignatureOutcome::missing;
    int keyIndex = -1; // verified: the key's index in the keys given
    juce::String why;  // malformed: what is wrong with the comment
};

// Takes the text of a base64 field; gives back its bytes when it is standard base64 (A-Z a-z 0-9 + /,
// a length that is a multiple of 4, "=" padding only at the end, zero unused bits), else nothing.
[[nodiscard]] std::optional<std::vector<unsigned char>> decodeStrictBase64(const char* text,
                                                                           std::size_t size);

// Takes a DER ECDSA signature; gives back r and s left-padded to 32 bytes each, or nothing unless it is
// exactly SEQUENCE { INTEGER r, INTEGER s } in minimal DER (short lengths, no trailing bytes) with r and s
// positive and at most 32 bytes of value. Writes nothing.
[[nodiscard]] std::optional<RawP256Signature> parseDerP256Signature(const unsigned char* der,
                                                                    std::size_t size);

// Takes the catalogue's bytes as received and the keys; gives back whether its signature comment verifies
// under one of the keys (the first that does), or why not. Writes nothing.
[[nodiscard]] SignatureCheck checkCatalogueSignature(const void* data, std::size_t size,
                                                     const std::vector<CatalogueSigningKey>& keys);

// Takes PEM text; gives back the ECDSA P-256 public keys of its "-----BEGIN PUBLIC KEY-----" blocks with
// their fingerprints, or nothing (whyNot, when given, says why) when it holds none or a block is another
// kind of key. Writes nothing.
[[nodiscard]] std::optional<std::vector<CatalogueSigningKey>> p256KeysFromPem(const juce::String& pem,
                                                                              juce::String* whyNot = nullptr);

// Platform layer (CatalogueSignature_posix.cpp: libcrypto; _windows.cpp: BCrypt). Takes the signed bytes,
// a key's point and a signature; gives back whether the signature is that key's over the bytes' SHA-256.
// Any failure of the system's crypto reads as not verified. Writes nothing.
[[nodiscard]] bool verifyP256Sha256(const void* data, std::size_t size, const CatalogueSigningKey& key,
                                    const RawP256Signature& signature);

// Platform layer, beside it. Takes bytes; gives back their SHA-256 as 64 lower-case hexadecimal digits, or
// empty text when the system's hashing fails. Writes nothing.
[[nodiscard]] juce::String sha256OfBytes(const void* data, std::size_t size);

// Takes the fetched catalogue's bytes, as received; when the build has signing keys, checks its signature
// against each of them before anything parses it. Gives back whether the catalogue may be read, with
// isSigned set when its signature verified (its entries must then carry sha256) and why set to the reason
// when it may not. Writes the key that verified to the run log.
[[nodiscard]] bool admitFetchedCatalogue(const juce::MemoryBlock& body, bool& isSigned, juce::String& why);
