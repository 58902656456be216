#include "retrieval/CatalogueSignature.h"

#ifndef CATALOGUE_SIGNING_KEYS_HEADER
#error "CATALOGUE_SIGNING_KEYS_HEADER names the variant's signing keys; the build writes it per variant"
#endif
#include CATALOGUE_SIGNING_KEYS_HEADER

#include <algorithm>

std::vector<CatalogueSigningKey> catalogueSigningKeys()
{
    std::vector<CatalogueSigningKey> keys;
    for (int index = 0; index < catalogueSigningKeyCount; ++index)
    {
        CatalogueSigningKey key;
        std::copy(std::begin(catalogueSigningKeyPoints[index]), std::end(catalogueSigningKeyPoints[index]),
                  key.point.begin());
        key.fingerprint = catalogueSigningKeyFingerprints[index];
        keys.push_back(key);
    }
    return keys;
}

juce::String describeCatalogueSigning()
{
    if (catalogueSigningKeyCount == 0)
        return "catalogue signature: not required (this build has no signing keys)";
    juce::StringArray fingerprints;
    for (int index = 0; index < catalogueSigningKeyCount; ++index)
        fingerprints.add(catalogueSigningKeyFingerprints[index]);
    return "catalogue signature: required, by key " + fingerprints.joinIntoString(" or ");
}
