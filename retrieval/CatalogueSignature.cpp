#include "retrieval/CatalogueSignature.h"

#include "base/RunLog.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace
{
const char* const commentOpening = "<!--";
const char* const commentClosing = "-->";
const char* const signatureWord = " catalogue-signature ";
const char* const algorithmWord = "ecdsa-p256-sha256";

// Every DER SubjectPublicKeyInfo of a P-256 key with an uncompressed point begins with these bytes, the
// point's 0x04 last: SEQUENCE, AlgorithmIdentifier (id-ecPublicKey, prime256v1), BIT STRING of 66 bytes.
constexpr unsigned char p256SpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                            0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                            0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
constexpr std::size_t p256SpkiBytes = sizeof p256SpkiPrefix + 64;
constexpr std::size_t fingerprintDigits = 16;

// Takes a base64 character; gives back its 6-bit value, or -1.
int base64Value(char character)
{
    if (character >= 'A' && character <= 'Z')
        return character - 'A';
    if (character >= 'a' && character <= 'z')
        return character - 'a' + 26;
    if (character >= '0' && character <= '9')
        return character - '0' + 52;
    if (character == '+')
        return 62;
    if (character == '/')
        return 63;
    return -1;
}

bool isTrailingSpace(char character)
{
    return character == ' ' || character == '\t' || character == '\r' || character == '\n';
}

// Takes DER bytes at *at (before end); reads one INTEGER of a signature into 32 bytes, left-padded, and
// moves *at past it. Gives back false unless it is a minimal, positive integer of at most 32 bytes.
bool readSignatureInteger(const unsigned char*& at, const unsigned char* end, unsigned char* into32)
{
    if (end - at < 2 || at[0] != 0x02)
        return false;
    const std::size_t length = at[1];
    at += 2;
    // Short-form lengths only: a P-256 signature never needs another, and DER allows no other for them.
    if (length == 0 || length > 33 || static_cast<std::size_t>(end - at) < length)
        return false;
    const unsigned char* value = at;
    std::size_t valueLength = length;
    at += length;
    if ((value[0] & 0x80) != 0)
        return false; // negative
    if (value[0] == 0x00)
    {
        // A leading zero is allowed only where the next byte would read as negative without it.
        if (valueLength == 1 || (value[1] & 0x80) == 0)
            return false;
        ++value;
        --valueLength;
    }
    if (valueLength > 32)
        return false;
    std::memset(into32, 0, 32);
    std::memcpy(into32 + (32 - valueLength), value, valueLength);
    return true;
}
} // namespace

std::optional<std::vector<unsigned char>> decodeStrictBase64(const char* text, std::size_t size)
{
    if (size == 0 || size % 4 != 0)
        return std::nullopt;
    const std::size_t padding = text[size - 1] == '=' ? (text[size - 2] == '=' ? 2 : 1) : 0;
    std::vector<unsigned char> bytes;
    bytes.reserve(size / 4 * 3);
    std::uint32_t bits = 0;
    for (std::size_t index = 0; index < size - padding; ++index)
    {
        const int value = base64Value(text[index]);
        if (value < 0)
            return std::nullopt;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        if (index % 4 == 3)
        {
            bytes.push_back(static_cast<unsigned char>(bits >> 16));
            bytes.push_back(static_cast<unsigned char>(bits >> 8));
            bytes.push_back(static_cast<unsigned char>(bits));
            bits = 0;
        }
    }
    // The last group: its unused low bits must be zero, or two texts would decode alike.
    if (padding == 2)
    {
        if ((bits & 0x0f) != 0)
            return std::nullopt;
        bytes.push_back(static_cast<unsigned char>(bits >> 4));
    }
    else if (padding == 1)
    {
        if ((bits & 0x03) != 0)
            return std::nullopt;
        bytes.push_back(static_cast<unsigned char>(bits >> 10));
        bytes.push_back(static_cast<unsigned char>(bits >> 2));
    }
    return bytes;
}

std::optional<RawP256Signature> parseDerP256Signature(const unsigned char* der, std::size_t size)
{
    if (size < 2 || der[0] != 0x30 || der[1] != size - 2 || der[1] >= 0x80)
        return std::nullopt;
    const unsigned char* at = der + 2;
    const unsigned char* const end = der + size;
    RawP256Signature signature{};
    if (!readSignatureInteger(at, end, signature.data()) ||
        !readSignatureInteger(at, end, signature.data() + 32))
        return std::nullopt;
    if (at != end)
        return std::nullopt;
    const auto isZero = [](const unsigned char* value)
    { return std::all_of(value, value + 32, [](unsigned char byte) { return byte == 0; }); };
    if (isZero(signature.data()) || isZero(signature.data() + 32))
        return std::nullopt;
    return signature;
}

SignatureCheck checkCatalogueSignature(const void* data, std::size_t size,
                                       const std::vector<CatalogueSigningKey>& keys)
{
    const char* const text = static_cast<const char*>(data);
    SignatureCheck check;
    std::size_t end = size;
    while (end > 0 && isTrailingSpace(text[end - 1]))
        --end;
    const std::size_t closingBytes = std::strlen(commentClosing);
    if (end < closingBytes || std::memcmp(text + end - closingBytes, commentClosing, closingBytes) != 0)
        return check; // the document does not end with a comment
    // The last "<!--", looked for from the end: a signed document's is a hundred bytes before it.
    const char* opening = nullptr;
    for (std::size_t at = end - closingBytes; at >= 4 && opening == nullptr; --at)
        if (std::memcmp(text + at - 4, commentOpening, 4) == 0)
            opening = text + at - 4;
    if (opening == nullptr)
        return check;
    const std::size_t commentBytes = static_cast<std::size_t>(text + end - opening);
    const std::size_t wordBytes = std::strlen(signatureWord);
    if (commentBytes < 4 + wordBytes || std::memcmp(opening + 4, signatureWord, wordBytes) != 0)
        return check; // the last comment is another one

    check.outcome = SignatureOutcome::malformed;
    if (commentBytes > maxSignatureCommentBytes)
    {
        check.why =
            "it is longer than " + juce::String(static_cast<int>(maxSignatureCommentBytes)) + " bytes";
        return check;
    }
    // What stands between the word and the closing: "<algorithm> <base64> ".
    const char* const fields = opening + 4 + wordBytes;
    const char* const fieldsEnd = text + end - closingBytes;
    const char* const space = std::find(fields, fieldsEnd, ' ');
    const std::string algorithm(fields, space);
    if (algorithm != algorithmWord)
    {
        check.why = "its algorithm is not " + juce::String(algorithmWord);
        return check;
    }
    if (space == fieldsEnd || fieldsEnd[-1] != ' ' || space + 1 >= fieldsEnd - 1)
    {
        check.why = "it has no signature after the algorithm";
        return check;
    }
    const auto der = decodeStrictBase64(space + 1, static_cast<std::size_t>(fieldsEnd - 1 - (space + 1)));
    if (!der)
    {
        check.why = "its signature is not standard base64";
        return check;
    }
    const auto signature = parseDerP256Signature(der->data(), der->size());
    if (!signature)
    {
        check.why = "its signature is not a DER ECDSA P-256 signature";
        return check;
    }

    check.outcome = SignatureOutcome::noKeyVerifies;
    const std::size_t signedBytes = static_cast<std::size_t>(opening - text);
    for (std::size_t index = 0; index < keys.size(); ++index)
        if (verifyP256Sha256(data, signedBytes, keys[index], *signature))
        {
            check.outcome = SignatureOutcome::verified;
            check.keyIndex = static_cast<int>(index);
            return check;
        }
    return check;
}

std::optional<std::vector<CatalogueSigningKey>> p256KeysFromPem(const juce::String& pem, juce::String* whyNot)
{
    juce::String ignored;
    juce::String& why = whyNot != nullptr ? *whyNot : ignored;
    const juce::String begin = "-----BEGIN PUBLIC KEY-----", finish = "-----END PUBLIC KEY-----";
    std::vector<CatalogueSigningKey> keys;
    for (int at = pem.indexOf(begin); at >= 0; at = pem.indexOf(at + 1, begin))
    {
        const int close = pem.indexOf(at, finish);
        if (close < 0)
        {
            why = "a public key block has no end line";
            return std::nullopt;
        }
        const juce::String body = pem.substring(at + begin.length(), close).removeCharacters(" \t\r\n");
        const auto der = decodeStrictBase64(body.toRawUTF8(), body.getNumBytesAsUTF8());
        if (!der || der->size() != p256SpkiBytes ||
            !std::equal(std::begin(p256SpkiPrefix), std::end(p256SpkiPrefix), der->begin()))
        {
            why = "public key " + juce::String(static_cast<int>(keys.size()) + 1) +
                  " is not an ECDSA P-256 key";
            return std::nullopt;
        }
        CatalogueSigningKey key;
        std::copy(der->end() - 65, der->end(), key.point.begin());
        key.fingerprint = sha256OfBytes(der->data(), der->size()).substring(0, fingerprintDigits);
        if (key.fingerprint.isEmpty())
        {
            why = "the system's SHA-256 failed";
            return std::nullopt;
        }
        keys.push_back(key);
    }
    if (keys.empty())
    {
        why = "no \"" + begin + "\" block";
        return std::nullopt;
    }
    return keys;
}

bool admitFetchedCatalogue(const juce::MemoryBlock& body, bool& isSigned, juce::String& why)
{
    isSigned = false;
    const std::vector<CatalogueSigningKey> keys = catalogueSigningKeys();
    if (keys.empty())
        return true;
    const SignatureCheck check = checkCatalogueSignature(body.getData(), body.getSize(), keys);
    switch (check.outcome)
    {
    case SignatureOutcome::verified:
        logRunEvent("catalogue signature: verified by key " +
                    keys[static_cast<std::size_t>(check.keyIndex)].fingerprint);
        isSigned = true;
        return true;
    case SignatureOutcome::missing:
        why = "the catalogue has no signature comment at its end, and this installer reads only signed "
              "catalogues";
        break;
    case SignatureOutcome::malformed:
        why = "the catalogue's signature comment is malformed: " + check.why;
        break;
    case SignatureOutcome::noKeyVerifies:
        why = "the catalogue's signature verifies under none of this installer's keys (changed after "
              "signing, or signed by another key)";
        break;
    }
    return false;
}
