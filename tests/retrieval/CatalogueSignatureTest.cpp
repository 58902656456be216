// Catalogue signatures against throwaway key pairs made for each run: what verifies, what is refused and
// why, the DER signature parser on hostile input, and that the parser reads a signed catalogue as the same
// catalogue without its comment.

#include "retrieval/CatalogueSignature.h"
#include "retrieval/DriverCatalogue.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

namespace
{
using PrivateKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

PrivateKey newKeyPair()
{
    return PrivateKey(EVP_EC_gen("P-256"), &EVP_PKEY_free);
}

// Takes a key pair; gives back its public half as the installer holds it.
CatalogueSigningKey publicHalf(EVP_PKEY* pair)
{
    unsigned char* der = nullptr;
    const int bytes = i2d_PUBKEY(pair, &der);
    EXPECT_EQ(bytes, 91);
    CatalogueSigningKey key;
    std::copy(der + bytes - 65, der + bytes, key.point.begin());
    key.fingerprint = sha256OfBytes(der, static_cast<std::size_t>(bytes)).substring(0, 16);
    OPENSSL_free(der);
    return key;
}

// Takes a key pair and bytes; gives back the DER ECDSA-with-SHA-256 signature over them.
std::string derSignature(EVP_PKEY* pair, const std::string& bytes)
{
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    std::size_t size = 80;
    std::string signature(size, '\0');
    EXPECT_EQ(EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, pair), 1);
    EXPECT_EQ(EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                             reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()),
              1);
    signature.resize(size);
    return signature;
}

std::string base64(const std::string& bytes)
{
    return juce::Base64::toBase64(bytes.data(), bytes.size()).toStdString();
}

std::string comment(const std::string& signatureBase64, const std::string& algorithm = "ecdsa-p256-sha256")
{
    return "<!-- catalogue-signature " + algorithm + " " + signatureBase64 + " -->";
}

const std::string document = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                             "<interfaces driverBaseUrl=\"https://dl.example.test/drivers\">\n"
                             "  <interface pid=\"0xa823\" driver=\"Tarnwell_Corvel_1.2.0.7.zip\" sha256=\"" +
                             std::string(64, 'a') + "\"/>\n</interfaces>\n";

struct Keys
{
    PrivateKey a = newKeyPair(), b = newKeyPair(), other = newKeyPair();
    std::vector<CatalogueSigningKey> built{publicHalf(a.get()), publicHalf(b.get())};
};

Keys& keys()
{
    static Keys made;
    return made;
}

std::string signedBy(EVP_PKEY* pair, const std::string& bytes = document)
{
    return bytes + comment(base64(derSignature(pair, bytes))) + "\r\n";
}

struct Row
{
    const char* name;
    std::string catalogue;
    SignatureOutcome outcome;
    int keyIndex;
};

std::vector<Row> rows()
{
    Keys& k = keys();
    const std::string good = signedBy(k.a.get());
    const std::string der = derSignature(k.a.get(), document);
    std::string flippedDocument = good;
    flippedDocument[100] ^= 0x01;
    std::string flippedSignature = der;
    flippedSignature.back() ^= 0x01; // the last byte of s
    const std::string cutSignature = der.substr(0, der.size() - 1);
    return {
        {"good, trailing CR LF", good, SignatureOutcome::verified, 0},
        {"the second of two keys", signedBy(k.b.get()), SignatureOutcome::verified, 1},
        {"no trailing white space", document + comment(base64(der)), SignatureOutcome::verified, 0},
        {"one bit flipped in the signed bytes", flippedDocument, SignatureOutcome::noKeyVerifies, -1},
        {"one bit flipped in the signature", document + comment(base64(flippedSignature)),
         SignatureOutcome::noKeyVerifies, -1},
        {"signed by another key", signedBy(k.other.get()), SignatureOutcome::noKeyVerifies, -1},
        {"the signature truncated", document + comment(base64(cutSignature)), SignatureOutcome::malformed,
         -1},
        {"a byte added to the signed bytes", " " + good, SignatureOutcome::noKeyVerifies, -1},
        {"empty", "", SignatureOutcome::missing, -1},
        {"no comment", document, SignatureOutcome::missing, -1},
        {"the comment not last", good + "<!-- later -->", SignatureOutcome::missing, -1},
        {"an element after the comment", good + "<x/>", SignatureOutcome::missing, -1},
        {"another algorithm word", document + comment(base64(der), "ecdsa-p384-sha384"),
         SignatureOutcome::malformed, -1},
        {"bad base64", document + comment(base64(der).substr(1)), SignatureOutcome::malformed, -1},
        {"base64 with a character outside its alphabet", document + comment("*" + base64(der).substr(1)),
         SignatureOutcome::malformed, -1},
        {"no signature after the word", document + comment(""), SignatureOutcome::malformed, -1},
        {"a comment of 1 KiB + 1",
         document + comment(base64(der) + std::string(1025 - comment(base64(der)).size(), ' ')),
         SignatureOutcome::malformed, -1},
        {"not DER", document + comment(base64(std::string(70, '\x30'))), SignatureOutcome::malformed, -1},
    };
}

TEST(CatalogueSignature, VerifiesOnlyAnUnchangedCatalogueSignedByABuiltInKey)
{
    for (const Row& row : rows())
    {
        SCOPED_TRACE(row.name);
        const SignatureCheck check =
            checkCatalogueSignature(row.catalogue.data(), row.catalogue.size(), keys().built);
        EXPECT_EQ(check.outcome, row.outcome) << check.why;
        EXPECT_EQ(check.keyIndex, row.keyIndex);
        EXPECT_EQ(check.why.isNotEmpty(), row.outcome == SignatureOutcome::malformed);
    }
}

TEST(CatalogueSignature, DerParserTakesOnlyMinimalPositiveIntegersOfAtMost32Bytes)
{
    const auto der = [](std::initializer_list<int> bytes)
    {
        std::vector<unsigned char> out;
        for (int byte : bytes)
            out.push_back(static_cast<unsigned char>(byte));
        return out;
    };
    const auto joined = [](std::initializer_list<std::vector<unsigned char>> parts)
    {
        std::vector<unsigned char> out;
        for (const auto& part : parts)
            for (unsigned char byte : part)
                out.push_back(byte);
        return out;
    };
    const std::vector<unsigned char> value32(32, 0x7f), value32High(32, 0x80);
    const auto longest =
        joined({der({0x30, 0x45, 0x02, 0x21, 0x00}), value32High, der({0x02, 0x20}), value32});
    ASSERT_TRUE(parseDerP256Signature(longest.data(), longest.size()).has_value());
    const auto parsed = *parseDerP256Signature(longest.data(), longest.size());
    EXPECT_EQ(parsed[0], 0x80);
    EXPECT_EQ(parsed[63], 0x7f);

    const auto small = der({0x30, 0x06, 0x02, 0x01, 0x05, 0x02, 0x01, 0x07});
    ASSERT_TRUE(parseDerP256Signature(small.data(), small.size()).has_value());
    EXPECT_EQ((*parseDerP256Signature(small.data(), small.size()))[31], 0x05); // left-padded

    const auto trailing = joined({longest, der({0x00})});
    const auto tooLong = joined({der({0x30, 0x45, 0x02, 0x21, 0x01}), value32, der({0x02, 0x20}), value32});
    const std::vector<std::pair<const char*, std::vector<unsigned char>>> refused = {
        {"empty", {}},
        {"a trailing byte", trailing},
        {"a 33-byte value", tooLong},
        {"negative r", der({0x30, 0x06, 0x02, 0x01, 0x85, 0x02, 0x01, 0x07})},
        {"a needless leading zero", der({0x30, 0x07, 0x02, 0x02, 0x00, 0x05, 0x02, 0x01, 0x07})},
        {"r zero", der({0x30, 0x06, 0x02, 0x01, 0x00, 0x02, 0x01, 0x07})},
        {"a long-form length", der({0x30, 0x81, 0x06, 0x02, 0x01, 0x05, 0x02, 0x01, 0x07})},
        {"the sequence longer than its bytes", der({0x30, 0x08, 0x02, 0x01, 0x05, 0x02, 0x01, 0x07})},
        {"an integer past the end", der({0x30, 0x06, 0x02, 0x01, 0x05, 0x02, 0x05, 0x07})},
        {"s missing", der({0x30, 0x03, 0x02, 0x01, 0x05})},
        {"not a sequence", der({0x31, 0x06, 0x02, 0x01, 0x05, 0x02, 0x01, 0x07})},
    };
    for (const auto& [name, bytes] : refused)
        EXPECT_FALSE(parseDerP256Signature(bytes.data(), bytes.size()).has_value()) << name;
}

TEST(CatalogueSignature, StrictBase64RefusesWhatTwoTextsWouldShare)
{
    EXPECT_EQ(decodeStrictBase64("TWE=", 4), (std::vector<unsigned char>{'M', 'a'}));
    EXPECT_FALSE(decodeStrictBase64("TWF=", 4)); // unused bits set
    EXPECT_FALSE(decodeStrictBase64("TW=E", 4)); // padding inside
    EXPECT_FALSE(decodeStrictBase64("TWE", 3));
}

TEST(CatalogueSignature, ParserReadsASignedCatalogueAsTheSameWithoutItsComment)
{
    const std::string signedText = signedBy(keys().a.get());
    const auto read = [](const std::string& bytes)
    {
        juce::MemoryBlock block(bytes.data(), bytes.size());
        const auto xml = parseFetchedCatalogue(block);
        if (xml == nullptr)
            return juce::String("refused");
        juce::String text;
        const auto add = [&text](const CatalogueElement& element)
        {
            text << "<" << element.name;
            for (const auto& [name, value] : element.attributes)
                text << " " << name << "=" << value.quoted();
            text << ">\n";
        };
        add(xml->root);
        for (const auto& entry : xml->entries)
            add(entry);
        return text;
    };
    EXPECT_NE(read(document), "refused");
    EXPECT_EQ(read(signedText), read(document));
}

TEST(CatalogueSignature, PemKeysAreReadWithTheirFingerprints)
{
    const juce::File pem =
        juce::File(STRELL_SOURCE_DIR).getChildFile("tests/support/keys/catalogue-test-keys.pem");
    juce::String whyNot;
    const auto read = p256KeysFromPem(pem.loadFileAsString(), &whyNot);
    ASSERT_TRUE(read.has_value()) << whyNot;
    ASSERT_EQ(read->size(), 2u);
    EXPECT_EQ((*read)[0].fingerprint.length(), 16);
    EXPECT_NE((*read)[0].fingerprint, (*read)[1].fingerprint);
    EXPECT_FALSE(p256KeysFromPem("-----BEGIN PUBLIC KEY-----\nTWE=\n-----END PUBLIC KEY-----\n", &whyNot));
    EXPECT_FALSE(p256KeysFromPem("no key here", &whyNot));
}
} // namespace
