#include "net/Signatures.h"

#include "system/Limits.h"
#include "system/Paths.h"
#include "system/Platform.h"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>
#include <sodium.h>
#include <stdexcept>
#include <vector>

namespace {

constexpr std::size_t kChunkBytes = 1u << 20;

using PublicKey = std::array<unsigned char, crypto_sign_PUBLICKEYBYTES>;

void startSodium() {
    if (sodium_init() < 0) {
        throw std::runtime_error("the signature library cannot start");
    }
}

// The keys named at build time; CMake has checked their form.
const std::vector<PublicKey>& publicKeys() {
    static const std::vector<PublicKey> keys = [] {
        std::vector<PublicKey> all;
        const std::string list = builtInPublicKeys();
        std::size_t start = 0;
        while (start < list.size()) {
            std::size_t end = list.find(',', start);
            end = end == std::string::npos ? list.size() : end;
            PublicKey key{};
            if (!fromBase64(list.substr(start, end - start), key.data(), key.size())) {
                throw std::runtime_error("a public key built into the program is not valid");
            }
            all.push_back(key);
            start = end + 1;
        }
        return all;
    }();
    return keys;
}

// A manifest address asked for at a version may be answered by the product's full document,
// published for every version as version=0.
bool isFullDocumentFor(const std::string& recorded, const std::string& requested) {
    const std::size_t version = requested.rfind("&version=");
    return requested.compare(0, 9, "manifest/") == 0 && version != std::string::npos &&
           recorded == requested.substr(0, version) + "&version=0";
}

} // namespace

bool isPublicationSerial(const nlohmann::json& value) {
    // A negative number is never unsigned in the reader; one past 2^64 is not an integer at all.
    return value.is_number_unsigned() && value.get<std::uint64_t>() >= 1 &&
           value.get<std::uint64_t>() <= static_cast<std::uint64_t>(kMaxPublicationSerial);
}

bool signaturesRequired() {
    return !publicKeys().empty();
}

std::string signatureAddress(const std::string& url) {
    const std::size_t query = url.find('?');
    return query == std::string::npos ? url + ".sig"
                                      : url.substr(0, query) + ".sig" + url.substr(query);
}

bool isRecordTime(const std::string& text) {
    static const std::string kShape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != kShape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) {
            return false;
        }
    }
    return true;
}

std::string recordTime(std::time_t when) {
    const std::tm utc = platform::universalTime(when);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string signedText(const SignatureRecord& record) {
    return "vexl-signature 1\n" + record.address + "\n" + record.sha256 + "\n" +
           std::to_string(record.publication) + "\n" + record.expires + "\n";
}

std::string recordDocument(const SignatureRecord& record) {
    return nlohmann::json{{"Address", record.address},
                          {"SHA256", record.sha256},
                          {"Publication", record.publication},
                          {"Expires", record.expires},
                          {"Signature", record.signature}}
        .dump();
}

std::optional<SignatureRecord> readSignatureRecord(const std::string& text) {
    const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    const auto isText = [&document](const char* member) {
        return document.contains(member) && document[member].is_string();
    };
    if (!document.is_object() || !isText("Address") || !isText("SHA256") || !isText("Expires") ||
        !isText("Signature") || !document.contains("Publication") ||
        !isPublicationSerial(document["Publication"])) {
        return std::nullopt;
    }
    return SignatureRecord{document["Address"], document["SHA256"],
                           document["Publication"].get<std::int64_t>(), document["Expires"],
                           document["Signature"]};
}

bool recordSignatureVerifies(const SignatureRecord& record) {
    startSodium();
    unsigned char bytes[crypto_sign_BYTES];
    if (!fromBase64(record.signature, bytes, sizeof bytes)) {
        return false;
    }
    const std::string text = signedText(record);
    for (const PublicKey& key : publicKeys()) {
        if (crypto_sign_verify_detached(bytes, reinterpret_cast<const unsigned char*>(text.data()),
                                        text.size(), key.data()) == 0) {
            return true;
        }
    }
    return false;
}

std::optional<std::string> refusalOf(const std::string& url, const std::string& document,
                                     const std::string& recordText, PublicationTrust& trust,
                                     std::time_t now) {
    const std::optional<SignatureRecord> record = readSignatureRecord(recordText);
    if (!record || !isRecordTime(record->expires) || !recordSignatureVerifies(*record)) {
        return "no valid signature record";
    }
    if (record->sha256 != sha256Hex(document)) {
        return "the document does not match its signature record";
    }
    const std::string requested = url.substr(std::min(trust.rootLength, url.size()));
    if (record->address != requested && !isFullDocumentFor(record->address, requested)) {
        return "the signature is for " + record->address;
    }
    if (record->expires <= recordTime(now)) {
        return "the signature expired on " + record->expires;
    }
    const std::string serial = "publication " + std::to_string(record->publication);
    if (record->publication < trust.highestSeen) {
        return serial + " is older than publication " + std::to_string(trust.highestSeen) +
               " seen before";
    }
    if (trust.passPublication == 0) {
        trust.passPublication = record->publication;
    } else if (record->publication != trust.passPublication) {
        return serial + " does not match publication " + std::to_string(trust.passPublication) +
               " of this pass (the service was republished during the run; the next run will "
               "retry)";
    }
    return std::nullopt;
}

std::string sha256Hex(const std::string& bytes) {
    startSodium();
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    char hex[2 * crypto_hash_sha256_BYTES + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return hex;
}

std::optional<std::string> sha256OfFile(const std::string& path) {
    startSodium();
    FilePtr in = openRegularFile(path, "rb");
    if (!in) {
        return std::nullopt;
    }
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    std::vector<unsigned char> chunk(kChunkBytes);
    std::size_t got = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), in.get())) > 0) {
        crypto_hash_sha256_update(&state, chunk.data(), got);
    }
    if (std::ferror(in.get())) {
        return std::nullopt;
    }
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&state, digest);
    char hex[2 * crypto_hash_sha256_BYTES + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return std::string(hex);
}

std::string toBase64(const unsigned char* bytes, std::size_t size) {
    std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
    text.pop_back(); // the terminating NUL
    return text;
}

bool fromBase64(const std::string& text, unsigned char* bytes, std::size_t size) {
    std::size_t decoded = 0;
    const char* end = nullptr;
    return sodium_base642bin(bytes, size, text.data(), text.size(), nullptr, &decoded, &end,
                             sodium_base64_VARIANT_ORIGINAL) == 0 &&
           decoded == size && end == text.data() + text.size();
}
