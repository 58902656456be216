// strell-add-root-cert: trusts a test certificate authority machine-wide, by adding its DER-encoded
// certificate to the LocalMachine "ROOT" system store (where WinINet's chain check looks).
//
//   strell-add-root-cert <certificate.der>
//
// Prints "added: <SHA-1 thumbprint in hex>" and exits 0; on failure prints why on standard error and exits
// with 2 (usage), 3 (file unreadable), 4 (store cannot be opened) or 5 (certificate refused).
#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <vector>

namespace
{
constexpr int usageError = 2;
constexpr int unreadableFile = 3;
constexpr int storeUnavailable = 4;
constexpr int certificateRefused = 5;
constexpr long longestCertificate = 1 << 20;

// Takes a file path; gives back its bytes in *bytes, or false when it cannot be read or is empty or huge.
bool readFile(const char* path, std::vector<unsigned char>* bytes)
{
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return false;
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    std::fseek(file, 0, SEEK_SET);
    bool ok = size > 0 && size <= longestCertificate;
    if (ok)
    {
        bytes->resize(static_cast<size_t>(size));
        ok = std::fread(bytes->data(), 1, bytes->size(), file) == bytes->size();
    }
    std::fclose(file);
    return ok;
}
} // namespace

// Takes the certificate's path; adds it to the store; prints its thumbprint; returns 0 or a failure code.
int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: strell-add-root-cert <certificate.der>\n");
        return usageError;
    }

    std::vector<unsigned char> der;
    if (!readFile(argv[1], &der))
    {
        std::fprintf(stderr, "strell-add-root-cert: cannot read %s\n", argv[1]);
        return unreadableFile;
    }

    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT");
    if (store == nullptr)
    {
        std::fprintf(stderr, "strell-add-root-cert: CertOpenStore failed: error %lu\n", GetLastError());
        return storeUnavailable;
    }

    PCCERT_CONTEXT added = nullptr;
    const bool ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                     der.data(), static_cast<DWORD>(der.size()),
                                                     CERT_STORE_ADD_REPLACE_EXISTING, &added);
    const DWORD error = GetLastError();
    int result = 0;
    if (!ok)
    {
        std::fprintf(stderr, "strell-add-root-cert: CertAddEncodedCertificateToStore failed: error 0x%08lx\n",
                     error);
        result = certificateRefused;
    }
    else
    {
        unsigned char hash[20];
        DWORD hashSize = sizeof hash;
        if (CertGetCertificateContextProperty(added, CERT_SHA1_HASH_PROP_ID, hash, &hashSize))
        {
            std::printf("added: ");
            for (DWORD i = 0; i < hashSize; ++i)
                std::printf("%02X", hash[i]);
            std::printf("\n");
        }
        else
            std::printf("added\n");
        CertFreeCertificateContext(added);
    }
    CertCloseStore(store, 0);
    return result;
}
