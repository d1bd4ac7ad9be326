#include "publish/Signing.h"

#include "net/Signatures.h"
#include "system/Paths.h"
#include "system/SafeWrite.h"

#include <boost/filesystem/operations.hpp>
#include <sodium.h>
#include <sstream>
#include <stdexcept>

namespace {

constexpr std::size_t kKeyFileMaxBytes = 4096;

void startSodium() {
    if (sodium_init() < 0) {
        throw std::runtime_error("the signing library cannot start");
    }
}

std::string readSmallFile(const std::string& path) {
    FilePtr in = openFile(path, "rb");
    std::string bytes(kKeyFileMaxBytes + 1, '\0');
    const std::size_t got = in ? std::fread(bytes.data(), 1, bytes.size(), in.get()) : 0;
    if (!in || std::ferror(in.get())) {
        throw std::runtime_error("cannot read " + path);
    }
    bytes.resize(got);
    return bytes;
}

// The one line of a key file that is not a comment.
std::string seedLine(const std::string& keyFile) {
    const std::string bytes = readSmallFile(keyFile);
    std::istringstream lines(bytes);
    std::vector<std::string> found;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty() && line[0] != '#') {
            found.push_back(line);
        }
    }
    if (bytes.size() > kKeyFileMaxBytes || found.size() != 1) {
        throw std::runtime_error(keyFile + " is not a key file made by vexl-publish keygen");
    }
    return found[0];
}

} // namespace

std::string makeKeyFile(const std::string& keyFile) {
    startSodium();
    boost::system::error_code ec;
    if (boost::filesystem::symlink_status(toFsPath(keyFile), ec).type() !=
        boost::filesystem::file_not_found) {
        throw std::runtime_error(keyFile + " already exists; a key file is never replaced");
    }
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(publicKey, secretKey);
    const std::string publicText = toBase64(publicKey, sizeof publicKey);
    // libsodium's secret key is the seed followed by the public key.
    std::string text = "# Secret signing key of vexl-publish: keep it private.\n"
                       "# Its public key: " +
                       publicText + "\n" + toBase64(secretKey, crypto_sign_SEEDBYTES) + "\n";
    sodium_memzero(secretKey, sizeof secretKey);
    writeFileSafely(keyFile, text, Durability::OnDisk, Readers::OwnerOnly);
    sodium_memzero(text.data(), text.size());
    return publicText;
}

Signer::Signer(const std::string& keyFile)
    : keyFile_(keyFile), secretKey_(crypto_sign_SECRETKEYBYTES) {
    startSodium();
    unsigned char seed[crypto_sign_SEEDBYTES];
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    if (!fromBase64(seedLine(keyFile), seed, sizeof seed)) {
        throw std::runtime_error(keyFile + " is not a key file made by vexl-publish keygen");
    }
    crypto_sign_seed_keypair(publicKey, secretKey_.data(), seed);
    sodium_memzero(seed, sizeof seed);
    publicKey_ = toBase64(publicKey, sizeof publicKey);
}

Signer::~Signer() {
    sodium_memzero(secretKey_.data(), secretKey_.size());
}

SignatureRecord Signer::record(const std::string& address, const std::string& document,
                               std::int64_t publication, const std::string& expires) const {
    SignatureRecord signed_{address, sha256Hex(document), publication, expires, ""};
    const std::string text = signedText(signed_);
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(text.data()),
                         text.size(), secretKey_.data());
    signed_.signature = toBase64(signature, sizeof signature);
    return signed_;
}

bool recordVerifiesUnder(const SignatureRecord& record, const std::string& publicKey) {
    startSodium();
    unsigned char key[crypto_sign_PUBLICKEYBYTES];
    unsigned char signature[crypto_sign_BYTES];
    if (!fromBase64(publicKey, key, sizeof key) ||
        !fromBase64(record.signature, signature, sizeof signature)) {
        return false;
    }
    const std::string text = signedText(record);
    return crypto_sign_verify_detached(signature,
                                       reinterpret_cast<const unsigned char*>(text.data()),
                                       text.size(), key) == 0;
}
