#pragma once

#include "net/Signatures.h"

#include <cstdint>
#include <string>
#include <vector>

// Ed25519 keys and the signature records of the service's documents (net/Signatures.h). Public
// keys and signatures are written as the standard padded base64 text of their raw bytes, the form
// the updater's VEXL_PUBLIC_KEYS lists.
//
// A key file holds comment lines starting with "#" and one line with the base64 text of the
// 32-byte secret seed.

// Makes a new key pair and writes its secret key into `keyFile`, readable by its owner only.
// Returns the public key text. Throws std::runtime_error when `keyFile` exists already: a key
// is never replaced, since the updaters in use trust it.
std::string makeKeyFile(const std::string& keyFile);

class Signer {
public:
    // Reads a key file made by makeKeyFile; throws std::runtime_error when it holds none.
    explicit Signer(const std::string& keyFile);
    ~Signer();
    Signer(const Signer&) = delete;
    Signer& operator=(const Signer&) = delete;

    const std::string& publicKey() const { return publicKey_; }
    const std::string& keyFile() const { return keyFile_; }

    // The signed record of `document`, served at `address` (relative to the service root) by
    // publication `publication` until `expires` (UTC, YYYY-MM-DDTHH:MM:SSZ).
    SignatureRecord record(const std::string& address, const std::string& document,
                           std::int64_t publication, const std::string& expires) const;

private:
    std::string keyFile_;
    std::vector<unsigned char> secretKey_;
    std::string publicKey_;
};

// Whether the record's signature verifies its signed text under `publicKey` (base64).
bool recordVerifiesUnder(const SignatureRecord& record, const std::string& publicKey);
