#pragma once

#include <cstdint>
#include <ctime>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

// Documents signed by the maker. The Ed25519 public keys come in at build time (the CMake cache
// variable VEXL_PUBLIC_KEYS, comma-separated, each the padded base64 of its 32 bytes); without
// keys nothing is checked.
bool signaturesRequired();
// The keys as given at build time (PublicKeys.cpp).
const char* builtInPublicKeys();

// Whether a JSON value is a publication's serial: a whole number from 1 to kMaxPublicationSerial.
bool isPublicationSerial(const nlohmann::json& value);

// Where a document's signature is: ".sig" after the address's path, before any query.
std::string signatureAddress(const std::string& url);

// The record beside a signed document (its ".sig"): which document was signed, by which
// publication, until when. It is served as a JSON object with the members Address, SHA256,
// Publication, Expires and Signature.
struct SignatureRecord {
    std::string address;          // the document's address relative to the service root
    std::string sha256;           // of the document's exact bytes, 64 lower-case hex digits
    std::int64_t publication = 0; // the publication's serial, from 1
    std::string expires;          // UTC, YYYY-MM-DDTHH:MM:SSZ
    std::string signature;        // padded base64 of the Ed25519 signature of signedText()
};

// A record's times: UTC as YYYY-MM-DDTHH:MM:SSZ, the one form that orders as text does.
std::string recordTime(std::time_t when);
bool isRecordTime(const std::string& text);

// What the maker signs: "vexl-signature 1\n" + address + "\n" + sha256 + "\n" + publication +
// "\n" + expires + "\n".
std::string signedText(const SignatureRecord& record);
// The record as the service serves it, and read back: nothing unless the text is a JSON object
// with the five members of their types, its serial in range.
std::string recordDocument(const SignatureRecord& record);
std::optional<SignatureRecord> readSignatureRecord(const std::string& text);
// Whether the record's signature verifies its signedText() under one of the built-in keys.
bool recordSignatureVerifies(const SignatureRecord& record);

// What a pass expects of every signed document: its address below the service root, and a
// publication neither older than this updater folder has accepted nor other than the pass's own.
struct PublicationTrust {
    std::size_t rootLength = 0;       // of the service root every requested address starts with
    std::int64_t highestSeen = 0;     // the highest publication accepted before this pass
    std::int64_t passPublication = 0; // that of the pass's first accepted document; 0 before it
};

// Why the document fetched from `url` is refused, given the text of its record; nothing when it
// is accepted. The first document a pass accepts sets the pass's publication.
std::optional<std::string> refusalOf(const std::string& url, const std::string& document,
                                     const std::string& recordText, PublicationTrust& trust,
                                     std::time_t now);

// The SHA-256 of bytes as 64 lower-case hexadecimal digits.
std::string sha256Hex(const std::string& bytes);

// The SHA-256 of a file as 64 lower-case hexadecimal digits; nothing when it cannot be read.
std::optional<std::string> sha256OfFile(const std::string& path);

// Standard padded base64: the text of bytes, and the bytes of a text (nothing unless the text is
// exactly `size` bytes in that form).
std::string toBase64(const unsigned char* bytes, std::size_t size);
bool fromBase64(const std::string& text, unsigned char* bytes, std::size_t size);
