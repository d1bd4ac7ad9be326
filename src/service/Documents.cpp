#include "service/Documents.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

// Whether a JSON number, truncated toward zero, lies in the range of `Number`. Other types pass:
// reading them fails with the library's type error.
template <typename Number> bool fitsIn(const nlohmann::json& value) {
    using Range = std::numeric_limits<Number>;
    if (value.is_number_unsigned()) {
        return value.get<std::uint64_t>() <= static_cast<std::uint64_t>(Range::max());
    }
    if (value.is_number_integer()) {
        const std::int64_t number = value.get<std::int64_t>();
        return number >= Range::min() && number <= Range::max();
    }
    if (value.is_number_float()) {
        // -min is a power of two, the first whole number past the range, and exact as a double.
        const double number = std::trunc(value.get<double>());
        return number >= static_cast<double>(Range::min()) &&
               number < -static_cast<double>(Range::min());
    }
    return true;
}

[[noreturn]] void refuseNumber(const char* member, const nlohmann::json& value) {
    throw nlohmann::json::out_of_range::create(
        406, std::string("number out of range for ") + member + ": " + value.dump(), nullptr);
}

// Truncated toward zero, but never wrapped or clamped: a number outside the range of `Number` is
// an error for that value.
template <typename Number> Number readWholeNumber(nlohmann::json& object, const char* member) {
    nlohmann::json& value = object[member];
    if (!fitsIn<Number>(value)) {
        refuseNumber(member, value);
    }
    if (value.is_number_float()) {
        return static_cast<Number>(std::trunc(value.get<double>()));
    }
    return value.get<Number>();
}

// Counts the depth and the values of a document as it is read, and stops it at the limits.
class DocumentCheck : public nlohmann::json_sax<nlohmann::json> {
public:
    explicit DocumentCheck(const DocumentLimits& limits) : limits_(limits) {}

    bool null() override { return value(); }
    bool boolean(bool) override { return value(); }
    bool number_integer(number_integer_t) override { return value(); }
    bool number_unsigned(number_unsigned_t) override { return value(); }
    bool number_float(number_float_t, const string_t&) override { return value(); }
    bool string(string_t&) override { return value(); }
    bool binary(binary_t&) override { return value(); }
    bool start_object(std::size_t) override { return open(); }
    bool key(string_t&) override { return true; }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(); }
    bool end_array() override { return close(); }
    // The full reading that follows stops at the same place with the library's own error.
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    bool value() {
        if (++values_ > limits_.maxValues) {
            refuse("more than " + std::to_string(limits_.maxValues) + " values");
        }
        return true;
    }
    bool open() {
        if (++depth_ > limits_.maxDepth) {
            refuse("nested deeper than " + std::to_string(limits_.maxDepth) + " levels");
        }
        return value();
    }
    bool close() {
        --depth_;
        return true;
    }
    [[noreturn]] static void refuse(const std::string& why) {
        throw nlohmann::json::parse_error::create(101, 0, why, nullptr);
    }

    const DocumentLimits& limits_;
    int depth_ = 0;
    std::size_t values_ = 0;
};

} // namespace

std::int32_t readNumber(nlohmann::json& object, const char* member) {
    return readWholeNumber<std::int32_t>(object, member);
}

std::int64_t readNumber64(nlohmann::json& object, const char* member) {
    return readWholeNumber<std::int64_t>(object, member);
}

std::string readText(nlohmann::json& object, const char* member) {
    return object[member].get<std::string>();
}

ProductRecord readProduct(nlohmann::json& value, const ServiceAddressPair& pair) {
    ProductRecord record;
    record.FileBaseUrl = pair.fileBase;
    record.ProductID = readNumber(value, "ProductID");
    record.PVDec = readText(value, "PVDec");
    record.ProdVersion = readNumber(value, "ProdVersion");
    record.MinVersion = readNumber(value, "MinVersion");
    record.VEXLFolderValue = readText(value, "VEXLFolderValue");
    record.RegistryKey = readText(value, "RegistryKey");
    record.ProdName = readText(value, "ProdName");
    record.Simulator = readText(value, "Simulator");
    return record;
}

void readManifestSummary(const std::string& body, ProductRecord& record) {
    nlohmann::json doc = parseDocument(body);
    nlohmann::json& first = doc[0];
    const std::int32_t totalFiles = readNumber(first, "TotalFiles");
    std::int32_t totalFileSize = 0; // the size is only shown, so a missing one is no failure
    try {
        totalFileSize = readNumber(first, "TotalFileSize");
    } catch (const nlohmann::json::type_error&) {
    }
    record.TotalFiles = totalFiles;
    record.TotalFileSize = totalFileSize;
}

nlohmann::json parseDocument(const std::string& body, const DocumentLimits& limits) {
    // The limits are checked in a first reading that builds nothing, so that a hostile document
    // never gets the memory it asks for.
    DocumentCheck firstReading(limits);
    nlohmann::json::sax_parse(body.c_str(), &firstReading);
    return nlohmann::json::parse(body.c_str());
}
