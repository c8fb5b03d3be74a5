// Key material, JWT checks and digests the emulator needs (OpenSSL).
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

typedef struct evp_pkey_st EVP_PKEY;

namespace gce::emu {

std::string base64Encode(const std::string& bytes);
// Decodes standard or URL-safe base64, padded or not. Throws std::invalid_argument.
std::string base64Decode(const std::string& text);
std::string base64UrlEncode(const std::string& bytes);

// Cryptographically random bytes as lower-case hex (2 * n characters).
std::string randomHex(size_t n);

std::string sha256(const std::string& data);  // raw digest
std::string md5(const std::string& data);     // raw digest
uint32_t crc32c(const std::string& data);

using PKey = std::shared_ptr<EVP_PKEY>;

// A service-account key pair made on the spot. Thread-safe once built.
struct ServiceAccountKey {
    PKey key;
    std::string privateKeyPem;  // PKCS#8 "BEGIN PRIVATE KEY"
    std::string keyId;          // hex, used as private_key_id
};

// Generates an RSA-2048 key. Throws std::runtime_error.
ServiceAccountKey generateServiceAccountKey();

// Loads a PKCS#8 or traditional PEM private key. Throws std::runtime_error.
PKey loadPrivateKeyPem(const std::string& pem);

// Writes a PKCS#12 archive holding the key (friendly name "privatekey") and a
// self-signed certificate for email, protected by password, with mode 0600.
// Throws std::runtime_error.
void writePkcs12(const std::string& path, const ServiceAccountKey& key, const std::string& email,
                 const std::string& password);

// Signs header.claims with RS256 and returns the compact JWT (for tests and
// for the seed's self-check).
std::string signJwt(const PKey& key, const nlohmann::json& header, const nlohmann::json& claims);

// Splits and decodes a compact JWT and verifies its RS256 signature with key.
// Returns the claims. Throws std::invalid_argument with a reason on any
// failure. If key is null the signature is not checked (used to read "iss").
nlohmann::json verifyJwt(const std::string& jwt, const PKey& key);

}  // namespace gce::emu
