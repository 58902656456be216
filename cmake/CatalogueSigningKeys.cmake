# strell_catalogue_keys_header(<pem file or empty> <out var>): writes a header with the catalogue signing
# keys of <pem file> (one or two ECDSA P-256 public keys, "-----BEGIN PUBLIC KEY-----" blocks as
# `openssl pkey -pubout` writes them) and sets <out var> to its path. An empty name gives the header of a
# build without keys. Anything else (no key, more than two, another curve or kind, a private key) stops the
# configure step: a build that silently knew no key would take any catalogue.
#
# The header holds each key's uncompressed point (0x04, X, Y) and its fingerprint, the first 16 hexadecimal
# digits of the SHA-256 of its DER SubjectPublicKeyInfo; no paths, so the exe stays reproducible.

# Every P-256 SubjectPublicKeyInfo with an uncompressed point begins with these 27 bytes (SEQUENCE,
# AlgorithmIdentifier id-ecPublicKey + prime256v1, BIT STRING of 66 bytes, no unused bits, 0x04).
set(strellP256SpkiPrefix "3059301306072a8648ce3d020106082a8648ce3d03010703420004")

function(strell_catalogue_keys_header pem_file out_var)
    if(pem_file STREQUAL "")
        set(header "${CMAKE_BINARY_DIR}/catalogue-keys/no-keys.h")
        set(points "")
        set(fingerprints "")
        set(count 0)
    else()
        get_filename_component(pem "${pem_file}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}")
        if(NOT EXISTS "${pem}")
            message(FATAL_ERROR "CATALOGUE_SIGNING_KEYS: ${pem} does not exist")
        endif()
        file(READ "${pem}" text)
        if(text MATCHES "PRIVATE KEY")
            message(FATAL_ERROR "CATALOGUE_SIGNING_KEYS: ${pem} holds a private key; give the public keys "
                "only (openssl pkey -in private.pem -pubout)")
        endif()
        string(REGEX MATCHALL "-----BEGIN PUBLIC KEY-----[^-]+-----END PUBLIC KEY-----" blocks "${text}")
        list(LENGTH blocks count)
        if(count EQUAL 0)
            message(FATAL_ERROR "CATALOGUE_SIGNING_KEYS: ${pem} holds no public key "
                "(-----BEGIN PUBLIC KEY----- block)")
        endif()
        if(count GREATER 2)
            message(FATAL_ERROR "CATALOGUE_SIGNING_KEYS: ${pem} holds ${count} public keys; an installer "
                "knows one or two (the current one and the next)")
        endif()
        find_program(STRELL_OPENSSL NAMES openssl REQUIRED)
        string(MD5 name "${text}")
        set(header "${CMAKE_BINARY_DIR}/catalogue-keys/keys-${name}.h")
        set(work "${CMAKE_BINARY_DIR}/catalogue-keys/work-${name}")
        file(MAKE_DIRECTORY "${work}")
        set(points "")
        set(fingerprints "")
        set(index 0)
        foreach(block IN LISTS blocks)
            math(EXPR index "${index} + 1")
            file(WRITE "${work}/key${index}.pem" "${block}\n")
            execute_process(COMMAND "${STRELL_OPENSSL}" pkey -pubin -in "${work}/key${index}.pem"
                -outform DER -out "${work}/key${index}.der"
                RESULT_VARIABLE failed ERROR_VARIABLE error)
            if(failed)
                message(FATAL_ERROR "CATALOGUE_SIGNING_KEYS: key ${index} of ${pem} is not a public key "
                    "openssl reads: ${error}")
            endif()
            file(READ "${work}/key${index}.der" der HEX)
            string(LENGTH "${der}" hexLength)
            string(FIND "${der}" "${strellP256SpkiPrefix}" at)
            if(NOT hexLength EQUAL 182 OR NOT at EQUAL 0)
                message(FATAL_ERROR "CATALOGUE_SIGNING_KEYS: key ${index} of ${pem} is not an ECDSA P-256 "
                    "public key")
            endif()
            string(SUBSTRING "${der}" 52 130 point)
            string(REGEX REPLACE "(..)" "0x\\1, " point "${point}")
            file(SHA256 "${work}/key${index}.der" digest)
            string(SUBSTRING "${digest}" 0 16 fingerprint)
            string(APPEND points "    {${point}},\n")
            string(APPEND fingerprints "    \"${fingerprint}\",\n")
        endforeach()
        file(REMOVE_RECURSE "${work}")
    endif()
    if(count EQUAL 0)
        set(points "    {0},\n")
        set(fingerprints "    \"\",\n")
    endif()
    file(CONFIGURE OUTPUT "${header}" CONTENT "// Written by cmake/CatalogueSigningKeys.cmake.
#pragma once
inline constexpr int catalogueSigningKeyCount = ${count};
inline constexpr unsigned char catalogueSigningKeyPoints[][65] = {
${points}};
inline constexpr const char* catalogueSigningKeyFingerprints[] = {
${fingerprints}};
" @ONLY)
    set(${out_var} "${header}" PARENT_SCOPE)
endfunction()
