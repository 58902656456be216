// catalogue-check: judges a driver catalogue as the installer would, before musicians meet it. For each
// supported model in slot order it prints the driver address the installer would download, or why the
// installer would stop. With --download it also fetches every distinct package, unpacks it into a scratch
// folder of its own and checks that both setup programs the 64-bit installer can choose are there, printing
// each package's size and SHA-256. The lookup, the fetches and their limits are the installer's own code.

#include "base/Limits.h"
#include "base/NewFile.h"
#include "devices/SupportedModels.h"
#include "install/DriverPackage.h"
#include "install/ZipExtraction.h"
#include "retrieval/CatalogueSignature.h"
#include "retrieval/DriverCatalogue.h"
#include "retrieval/HttpsFetch.h"
#include "retrieval/PackageHash.h"

#include <juce_core/juce_core.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <thread>
#include <vector>

namespace
{
constexpr int exitAllGood = 0;
constexpr int exitModelUnresolved = 1;
constexpr int exitPackageProblem = 2;
constexpr int exitUsage = 3;
constexpr int exitOutputFailed = 4;

const char* const usageText =
    "usage: catalogue-check [--json] [--download] [--key <public keys.pem>] [<https address> | <file>]\n"
    "\n"
    "Reads the driver catalogue (from the https address, fetched as the installer fetches it, or from a\n"
    "file; by default the installer's own catalogue address) and prints, for every supported model in slot\n"
    "order, the driver address the installer would download, or why it would stop.\n"
    "\n"
    "  --json      one JSON document instead of the tables\n"
    "  --download  also download every distinct package, unpack it into a scratch folder and check that\n"
    "              x64\\Setup.exe and x64_Win10\\Setup.exe are there; print its size and SHA-256, and the\n"
    "              sha256 attribute to add to its entries, or whether it matches the one they give\n"
    "  --key FILE  check the catalogue's signature against the P-256 public keys in FILE (PEM) instead\n"
    "              of the keys this build has; a signed catalogue's models resolve only with a sha256\n"
    "\n"
    "Exit codes: 0 every model resolves (and, with --download, every package is complete and matches\n"
    "any sha256 given); 1 a model would not resolve (no entry, address refused, catalogue not fetched,\n"
    "unsafe document, malformed sha256, signature refused); 2 every model resolves but a package failed to "
    "download, is "
    "incomplete\n"
    "or does not match its sha256; 3 usage error; 4 the output could not be written.\n";

// Sub-folders of the package folder that hold Setup.exe. The 64-bit installer runs x64_Win10's on Windows
// 10 and 11 and x64's on earlier Windows; the x86 ones are listed when present and never required.
const char* const requiredSetupFolders[] = {"x64_Win10", "x64"};
const char* const optionalSetupFolders[] = {"x86_Win10", "x86"};

struct ModelResult
{
    int slot;
    int productId;
    juce::String keyName;
    juce::String displayName;
    DriverLookup lookup;
    bool catalogueRead;         // the catalogue's bytes were fetched or read (whatever they hold)
    juce::String signatureStop; // why the signature stops the installer here (empty when it does not)
};

// What the catalogue's signature check found, when keys were given or built in.
struct SignatureReport
{
    bool required = false;
    bool verified = false;
    juce::String key;     // the fingerprint of the key it verified under
    juce::String failure; // why it was refused
};

// Takes the catalogue's bytes and the keys (none: nothing is required); gives back the check's report.
SignatureReport checkSignature(const juce::MemoryBlock& body, const std::vector<CatalogueSigningKey>& keys)
{
    SignatureReport report;
    report.required = !keys.empty();
    if (!report.required)
        return report;
    const SignatureCheck check = checkCatalogueSignature(body.getData(), body.getSize(), keys);
    switch (check.outcome)
    {
    case SignatureOutcome::verified:
        report.verified = true;
        report.key = keys[static_cast<std::size_t>(check.keyIndex)].fingerprint;
        break;
    case SignatureOutcome::missing:
        report.failure = "no signature comment at the end";
        break;
    case SignatureOutcome::malformed:
        report.failure = "malformed signature comment: " + check.why;
        break;
    case SignatureOutcome::noKeyVerifies:
        report.failure = "the signature verifies under none of the keys";
        break;
    }
    return report;
}

struct PackageResult
{
    juce::String address;
    bool downloaded = false;
    juce::String failure; // why the download or the check failed; empty when all is well
    juce::int64 size = 0;
    juce::String sha256;
    juce::StringArray setupPrograms; // the Setup.exe files present, relative to the package folder
    juce::StringArray missing;       // required setup programs that are not there
    juce::StringArray givenSha256;   // the distinct sha256 texts its entries give
    bool hashMismatch = false;
};

// Takes the archive and a scratch folder; unpacks the archive into the folder with the installer's own
// checked extraction (what it refuses, this refuses). Gives back the result. Writes the unpacked files.
juce::Result unpackPackage(const juce::File& archiveFile, const juce::File& folder)
{
    return extractZipArchive(archiveFile, folder);
}

// Takes a model's result; gives back why the installer stops there, or empty text.
juce::String stopReason(const ModelResult& model)
{
    const DriverLookup& lookup = model.lookup;
    if (model.signatureStop.isNotEmpty())
        return model.signatureStop;
    switch (lookup.outcome)
    {
    case LookupOutcome::found:
        return {};
    case LookupOutcome::noDocument:
        return model.catalogueRead ? "unsafe document (not XML the installer may parse)"
                                   : "catalogue not fetched";
    case LookupOutcome::noEntry:
        return "no entry";
    case LookupOutcome::addressRefused:
        return "address refused (not https)";
    case LookupOutcome::malformedSha256:
        return "malformed sha256 \"" + lookup.sha256 + "\"";
    }
    return "unknown";
}

// Takes the catalogue argument (an https address or a file); gives back its bytes, fetched within the
// installer's catalogue limits or read from the file, or nothing. Writes why it failed to standard error.
std::optional<juce::MemoryBlock> readCatalogue(const juce::String& source)
{
    if (isHttpsUrl(source))
    {
        auto body = fetchIntoMemory(source, catalogueFetchLimits());
        if (!body)
            std::fprintf(stderr, "catalogue-check: cannot fetch %s\n", source.toRawUTF8());
        return body;
    }
    if (source.containsChar(':') && !juce::File::isAbsolutePath(source))
    {
        std::fprintf(stderr, "catalogue-check: %s is neither an https address nor a file\n",
                     source.toRawUTF8());
        return std::nullopt;
    }
    const juce::File file = juce::File::getCurrentWorkingDirectory().getChildFile(source);
    juce::MemoryBlock body;
    if (!file.existsAsFile() || file.getSize() > maxCatalogueBytes || !file.loadFileAsData(body))
    {
        std::fprintf(stderr, "catalogue-check: cannot read %s (at most %lld bytes)\n", source.toRawUTF8(),
                     static_cast<long long>(maxCatalogueBytes));
        return std::nullopt;
    }
    return body;
}

// Takes the package's address and its scratch folder; downloads it through the installer's fetch into a
// new file there, within the installer's package limits. Gives back the file, or an empty File with the
// failure in result.
juce::File downloadPackage(const juce::String& address, const juce::File& folder, PackageResult& result)
{
    const juce::File file = folder.getChildFile("download");
    NewFile target = createNewFile(file);
    if (!target.isOpen())
    {
        result.failure = "cannot create " + file.getFullPathName();
        return {};
    }
    FetchTask task = startFetch(address, std::move(target), packageDownloadLimits());
    while (!superviseFetch(task))
        std::this_thread::sleep_for(std::chrono::milliseconds(pollingSliceMs));
    NewFile written = endFetch(task);
    const bool closed = closeNewFile(written);
    if (fetchHadError(task) || !closed)
    {
        result.failure =
            "download failed: " + (fetchFailure(task).isNotEmpty() ? fetchFailure(task) : "write failed");
        return {};
    }
    return file;
}

// Takes a package's result (address and the sha256 texts given) and its own scratch folder; downloads,
// hashes, unpacks and checks it as the installer would find it, filling in the result.
void checkPackage(PackageResult& result, const juce::File& folder)
{
    folder.createDirectory();
    const juce::File file = downloadPackage(result.address, folder, result);
    if (file == juce::File())
        return;
    result.downloaded = true;
    result.size = file.getSize();
    result.sha256 = sha256OfFile(file);
    if (result.sha256.isEmpty())
    {
        result.failure = "cannot hash the downloaded file";
        return;
    }
    for (const auto& given : result.givenSha256)
        if (!given.equalsIgnoreCase(result.sha256))
            result.hashMismatch = true;

    const juce::String fileName = juce::URL(result.address).getFileName();
    const PackageForm form = packageFormOf(fileName);
    if (form == PackageForm::setupProgram)
        return; // the installer runs the package itself
    if (form == PackageForm::neither)
    {
        result.failure = "the file name ends with neither zip nor exe: the installer stops (-3)";
        return;
    }

    const juce::File unpacked = folder.getChildFile("unpacked");
    unpacked.createDirectory();
    const juce::Result unpacking = unpackPackage(file, unpacked);
    if (unpacking.failed())
    {
        result.failure = "unpacking failed: " + unpacking.getErrorMessage();
        return;
    }
    const juce::File packageFolder = packageFolderFor(fileName, unpacked);
    if (packageFolder == juce::File())
    {
        result.failure = "the package folder name leads outside the unpacked package";
        return;
    }
    for (const char* setupFolder : requiredSetupFolders)
    {
        const juce::String name = juce::String(setupFolder) + "\\Setup.exe";
        if (packageFolder.getChildFile(setupFolder).getChildFile("Setup.exe").existsAsFile())
            result.setupPrograms.add(name);
        else
            result.missing.add(name);
    }
    for (const char* setupFolder : optionalSetupFolders)
        if (packageFolder.getChildFile(setupFolder).getChildFile("Setup.exe").existsAsFile())
            result.setupPrograms.add(juce::String(setupFolder) + "\\Setup.exe");
}

bool packageIsGood(const PackageResult& package)
{
    return package.downloaded && package.failure.isEmpty() && package.missing.isEmpty() &&
           !package.hashMismatch;
}

// Takes a package; gives back what to do about its sha256: the attribute to add, "matches" or the mismatch.
juce::String hashAdvice(const PackageResult& package)
{
    if (package.sha256.isEmpty())
        return "-";
    if (package.givenSha256.isEmpty())
        return "add sha256=\"" + package.sha256 + "\"";
    if (package.hashMismatch)
        return "MISMATCH: catalogue gives " + package.givenSha256.joinIntoString(", ");
    return "matches";
}

juce::String hexProductId(int productId)
{
    return "0x" + juce::String::toHexString(productId).paddedLeft('0', 4);
}

void printTables(const juce::String& source, const std::vector<ModelResult>& models,
                 const std::vector<PackageResult>& packages, bool downloaded,
                 const SignatureReport& signature)
{
    std::printf("catalogue: %s\n", source.toRawUTF8());
    if (signature.required)
        std::printf("signature: %s\n", (signature.verified ? "verified by key " + signature.key
                                                           : "REFUSED: " + signature.failure)
                                           .toRawUTF8());
    std::printf("\nslot\tpid\tmodel\tdriver address or why the installer stops\n");
    for (const auto& model : models)
    {
        const juce::String reason = stopReason(model);
        std::printf("%d\t%s\t%s\t%s\n", model.slot, hexProductId(model.productId).toRawUTF8(),
                    model.keyName.toRawUTF8(),
                    (reason.isEmpty() ? model.lookup.address.toString(true) : "STOP: " + reason).toRawUTF8());
    }
    if (!downloaded)
        return;
    std::printf("\npackage\tbytes\tsha256\tsetup programs\tverdict\tsha256 attribute\n");
    for (const auto& package : packages)
    {
        juce::String verdict = "complete";
        if (package.failure.isNotEmpty())
            verdict = package.failure;
        else if (!package.missing.isEmpty())
            verdict = "missing " + package.missing.joinIntoString(", ");
        std::printf(
            "%s\t%lld\t%s\t%s\t%s\t%s\n", package.address.toRawUTF8(), static_cast<long long>(package.size),
            (package.sha256.isEmpty() ? juce::String("-") : package.sha256).toRawUTF8(),
            (package.setupPrograms.isEmpty() ? juce::String("-") : package.setupPrograms.joinIntoString(" "))
                .toRawUTF8(),
            verdict.toRawUTF8(), hashAdvice(package).toRawUTF8());
    }
}

juce::var toVar(const juce::StringArray& texts)
{
    juce::Array<juce::var> items;
    for (const auto& text : texts)
        items.add(text);
    return items;
}

void printJson(const juce::String& source, const std::vector<ModelResult>& models,
               const std::vector<PackageResult>& packages, bool downloaded, int exitCode,
               const SignatureReport& signature)
{
    juce::Array<juce::var> modelItems;
    for (const auto& model : models)
    {
        auto* item = new juce::DynamicObject();
        item->setProperty("slot", model.slot);
        item->setProperty("productId", hexProductId(model.productId));
        item->setProperty("keyName", model.keyName);
        item->setProperty("displayName", model.displayName);
        const juce::String reason = stopReason(model);
        item->setProperty("resolves", reason.isEmpty());
        item->setProperty("address", model.lookup.address.isWellFormed()
                                         ? juce::var(model.lookup.address.toString(true))
                                         : juce::var());
        item->setProperty("sha256", model.lookup.hasSha256 ? juce::var(model.lookup.sha256) : juce::var());
        item->setProperty("stop", reason.isEmpty() ? juce::var() : juce::var(reason));
        modelItems.add(juce::var(item));
    }
    auto* root = new juce::DynamicObject();
    root->setProperty("catalogue", source);
    root->setProperty("models", modelItems);
    if (downloaded)
    {
        juce::Array<juce::var> packageItems;
        for (const auto& package : packages)
        {
            auto* item = new juce::DynamicObject();
            item->setProperty("address", package.address);
            item->setProperty("downloaded", package.downloaded);
            item->setProperty("bytes", package.size);
            item->setProperty("sha256", package.sha256.isEmpty() ? juce::var() : juce::var(package.sha256));
            item->setProperty("catalogueSha256", toVar(package.givenSha256));
            item->setProperty("hashMatches", package.givenSha256.isEmpty() || package.sha256.isEmpty()
                                                 ? juce::var()
                                                 : juce::var(!package.hashMismatch));
            item->setProperty("setupPrograms", toVar(package.setupPrograms));
            item->setProperty("missing", toVar(package.missing));
            item->setProperty("failure",
                              package.failure.isEmpty() ? juce::var() : juce::var(package.failure));
            item->setProperty("complete", packageIsGood(package));
            packageItems.add(juce::var(item));
        }
        root->setProperty("packages", packageItems);
    }
    auto* signatureItem = new juce::DynamicObject();
    signatureItem->setProperty("required", signature.required);
    signatureItem->setProperty("verified", signature.verified);
    signatureItem->setProperty("key", signature.key.isEmpty() ? juce::var() : juce::var(signature.key));
    signatureItem->setProperty("failure",
                               signature.failure.isEmpty() ? juce::var() : juce::var(signature.failure));
    root->setProperty("signature", juce::var(signatureItem));
    root->setProperty("exitCode", exitCode);
    std::printf("%s\n", juce::JSON::toString(juce::var(root)).toRawUTF8());
}

// Takes the lookups; gives back one result per distinct driver address, in slot order of first use, with
// the sha256 texts its entries give.
std::vector<PackageResult> distinctPackages(const std::vector<ModelResult>& models)
{
    std::vector<PackageResult> packages;
    std::map<juce::String, std::size_t> byAddress;
    for (const auto& model : models)
    {
        if (model.lookup.outcome != LookupOutcome::found)
            continue;
        const juce::String address = model.lookup.address.toString(true);
        auto [at, added] = byAddress.emplace(address, packages.size());
        if (added)
        {
            packages.emplace_back();
            packages.back().address = address;
        }
        if (model.lookup.hasSha256)
            packages[at->second].givenSha256.addIfNotAlreadyThere(model.lookup.sha256.toLowerCase());
    }
    return packages;
}
} // namespace

// Takes the options and the catalogue (see usageText); prints the tables or JSON to standard output and
// failures to read the catalogue to standard error. With --download it writes only into a scratch folder of
// its own in the temporary folder, removed before it returns. Gives back the exit code in usageText.
int main(int argc, char* argv[])
{
    bool json = false, download = false;
    juce::String source, keyFile;
    for (int index = 1; index < argc; ++index)
    {
        const juce::String argument = juce::String::fromUTF8(argv[index]);
        if (argument == "--json")
            json = true;
        else if (argument == "--download")
            download = true;
        else if (argument == "--key" && index + 1 < argc && keyFile.isEmpty())
            keyFile = juce::String::fromUTF8(argv[++index]);
        else if (argument == "--help" || argument == "-h")
        {
            std::fputs(usageText, stdout);
            return exitAllGood;
        }
        else if (argument.startsWith("-") || source.isNotEmpty())
        {
            std::fputs(usageText, stderr);
            return exitUsage;
        }
        else
            source = argument;
    }
    if (source.isEmpty())
        source = catalogueAddress();

    std::vector<CatalogueSigningKey> keys = catalogueSigningKeys();
    if (keyFile.isNotEmpty())
    {
        juce::String whyNot;
        const auto given = p256KeysFromPem(
            juce::File::getCurrentWorkingDirectory().getChildFile(keyFile).loadFileAsString(), &whyNot);
        if (!given)
        {
            std::fprintf(stderr, "catalogue-check: %s: %s\n", keyFile.toRawUTF8(), whyNot.toRawUTF8());
            return exitUsage;
        }
        keys = *given;
    }

    const auto body = readCatalogue(source);
    // As in the installer: what does not verify is never parsed.
    const SignatureReport signature = body ? checkSignature(*body, keys) : SignatureReport{};
    const bool admitted = body && (!signature.required || signature.verified);
    const std::unique_ptr<Catalogue> catalogue = admitted ? parseFetchedCatalogue(*body) : nullptr;

    std::vector<ModelResult> models;
    for (int slot = 0; slot < supportedModelCount; ++slot)
    {
        const int productId = productIdForModelSlot(slot);
        ModelResult model{
            slot, productId, {}, {}, lookUpDriverInCatalogue(catalogue.get(), productId), body.has_value(),
            {}};
        if (body && signature.required && !signature.verified)
            model.signatureStop = "signature refused (" + signature.failure + ")";
        else if (signature.verified && model.lookup.outcome == LookupOutcome::found &&
                 !model.lookup.hasSha256)
            model.signatureStop = "signed catalogue, but the entry has no sha256";
        for (const auto& row : supportedModels())
            if (row.productId == productId)
            {
                model.keyName = row.keyName;
                model.displayName = row.displayName;
            }
        models.push_back(model);
    }

    std::vector<PackageResult> packages = distinctPackages(models);
    if (download && !packages.empty())
    {
        const juce::TemporaryFile scratchName("catalogue-check");
        const juce::File scratch = scratchName.getFile();
        if (!scratch.createDirectory())
        {
            std::fprintf(stderr, "catalogue-check: cannot create %s\n",
                         scratch.getFullPathName().toRawUTF8());
            return exitPackageProblem;
        }
        for (std::size_t index = 0; index < packages.size(); ++index)
            checkPackage(packages[index], scratch.getChildFile(juce::String(static_cast<int>(index) + 1)));
        scratch.deleteRecursively(false);
    }

    int exitCode = exitAllGood;
    for (const auto& model : models)
        if (model.lookup.outcome != LookupOutcome::found || model.signatureStop.isNotEmpty())
            exitCode = exitModelUnresolved;
    if (exitCode == exitAllGood && download)
        for (const auto& package : packages)
            if (!packageIsGood(package))
                exitCode = exitPackageProblem;

    if (json)
        printJson(source, models, packages, download, exitCode, signature);
    else
        printTables(source, models, packages, download, signature);
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return exitOutputFailed;
    return exitCode;
}
