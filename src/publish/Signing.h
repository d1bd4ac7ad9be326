#pragma once

#include <string>
#include <vector>

// Ed25519 keys and detached signatures of the service's documents. Public keys and signatures
// are written as the standard padded base64 text of their raw bytes, the form the updater's
// VEXL_PUBLIC_KEYS lists.
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

    // The signature file of `document`: the base64 text of the signature of its exact bytes,
    // then one newline.
    std::string signatureFile(const std::string& document) const;

private:
    std::vector<unsigned char> secretKey_;
    std::string publicKey_;
};
