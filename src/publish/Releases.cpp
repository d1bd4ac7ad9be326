#include "publish/Releases.h"

#include "service/Catalogue.h"
#include "service/Documents.h"
#include "service/UnsafePath.h"
#include "service/Version.h"
#include "system/Md5Digest.h"
#include "system/Paths.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace fs = boost::filesystem;
using nlohmann::json;

namespace {

[[noreturn]] void refuse(const std::string& message) {
    throw std::runtime_error(message);
}

json readJson(const fs::path& path) {
    std::ifstream in(path.string(), std::ios::binary);
    if (!in) {
        refuse("cannot read " + path.string());
    }
    std::stringstream text;
    text << in.rdbuf();
    try {
        return json::parse(text.str());
    } catch (const json::exception& error) {
        refuse(path.string() + ": " + error.what());
    }
}

// The version number of a dotted folder name; refuses what would not read back the same.
std::int32_t versionOf(const std::string& dotted, std::int32_t id) {
    const std::optional<std::int32_t> number = exactVersionNumber(dotted);
    if (!number) {
        refuse("product " + std::to_string(id) + ": version " + dotted +
               " does not read back as its version number; use digits and dots only");
    }
    return *number;
}

// Two neighbouring versions of a product (by number), the problem they make, if any.
std::optional<std::string> versionPairProblem(std::int32_t id, const std::string& older,
                                              std::int32_t olderNumber, const std::string& newer,
                                              std::int32_t newerNumber) {
    const std::string where =
        "product " + std::to_string(id) + ": versions " + older + " and " + newer;
    if (!numbersKeepDottedOrder(older, newer)) {
        return where + " read as " + std::to_string(olderNumber) + " and " +
               std::to_string(newerNumber) +
               ", which is not their dotted order; give each field the same number of digits in "
               "every version";
    }
    if (!sameFieldWidths(older, newer)) {
        return where +
               " do not keep every dotted field's width, so a later version could read as older; "
               "use fixed widths, such as " +
               widenedLike(older, newer) + " and " + widenedLike(newer, older);
    }
    return std::nullopt;
}

// The updater compares versions as the numbers their dots deleted make, and an installed
// version with the releases field by field: both orders must agree for every pair, now and for
// the versions to come, which only fixed field widths promise.
void checkVersionOrder(const Product& product, const std::string& minDotted, Problems& problems) {
    std::multimap<std::int32_t, std::string> versions;
    bool minIsRelease = false;
    for (const auto& [number, release] : product.releases) {
        versions.emplace(number, release.dotted);
        minIsRelease = minIsRelease || release.dotted == minDotted;
    }
    if (!minIsRelease) {
        versions.emplace(product.minVersion, minDotted);
    }
    for (auto next = std::next(versions.begin()); next != versions.end(); ++next) {
        const auto& [number, dotted] = *std::prev(next);
        if (const auto problem =
                versionPairProblem(product.id, dotted, number, next->second, next->first)) {
            problems.push_back(*problem);
        }
    }
}

std::string filePathOf(const fs::path& relative, const std::string& where) {
    std::string text;
    for (const auto& part : relative) {
        const std::string name = part.string();
        if (name.find('\\') != std::string::npos) {
            refuse(where + ": file name with a backslash: " + name);
        }
        text += (text.empty() ? "" : "\\") + name;
    }
    // Its Folder, the path without the last name, then breaks none of the rules either.
    try {
        requireSafePath(text, PathUse::ManifestPath);
    } catch (const std::runtime_error& error) {
        refuse(where + ": \"FilePath\" " + error.what());
    }
    return text;
}

// Windows, where the files are installed, would see one path where the release has two.
void checkCaseCollisions(const FileSet& files, const std::string& where) {
    std::map<std::string, std::string> seen; // by folded path: files and every folder above them
    for (const auto& entry : files) {
        const std::string& filePath = entry.first;
        for (std::size_t end = filePath.find('\\');; end = filePath.find('\\', end + 1)) {
            const std::string path = filePath.substr(0, end);
            const auto [known, added] = seen.emplace(foldedPathText(path), path);
            if (!added && known->second != path) {
                refuse(where + ": paths " + known->second + " and " + path +
                       " differ only in case");
            }
            if (end == std::string::npos) {
                break;
            }
        }
    }
}

ReleaseFile releaseFile(const fs::path& source) {
    const auto md5 = md5OfFile(source.string());
    if (!md5) {
        refuse("cannot read " + source.string());
    }
    const auto bytes = fs::file_size(source);
    return {source, *md5, static_cast<std::int32_t>((bytes + 1023) / 1024)};
}

// A link would publish what it points to today, wherever that is, and the updater installs
// files only: both are refused rather than left out.
FileSet readRelease(const fs::path& folder, const std::string& where) {
    FileSet files;
    for (fs::recursive_directory_iterator it(folder), end; it != end; ++it) {
        const fs::file_status status = it->symlink_status();
        const fs::path relative = it->path().lexically_relative(folder);
        if (fs::is_symlink(status)) {
            refuse(where + ": " + filePathOf(relative, where) +
                   " is a symbolic link; copy what it points to into the release");
        }
        if (fs::is_regular_file(status)) {
            const std::string filePath = filePathOf(relative, where);
            files[filePath] = releaseFile(it->path());
        } else if (!fs::is_directory(status)) {
            refuse(where + ": " + filePathOf(relative, where) + " is neither a file nor a folder");
        }
    }
    checkCaseCollisions(files, where);
    return files;
}

std::string text(json& object, const char* member, const std::string& where) {
    try {
        return readText(object, member);
    } catch (const json::exception&) {
        refuse(where + ": \"" + member + "\" must be a string");
    }
}

// The catalogue row SIM/AIRCRAFT/k the product is published under; it must exist in the program.
std::string catalogueRow(json& product, const std::string& where) {
    json& row = product["Catalogue"];
    const std::string sim = row.is_object() ? text(row, "Simulator", where) : "";
    const std::string aircraft = row.is_object() ? text(row, "Aircraft", where) : "";
    const int pair =
        row.is_object() && row["Pair"].is_number_integer() ? row["Pair"].get<int>() : 0;
    for (const CatalogueRow& known : catalogue()) {
        if (known.simulator == sim && known.aircraft == aircraft && pair >= 1 &&
            pair <= static_cast<int>(known.pairs.size())) {
            return sim + "/" + aircraft + "/" + std::to_string(pair);
        }
    }
    refuse(where + ": \"Catalogue\" must name a simulator, aircraft and pair the updater asks for");
}

void readReleases(Product& product, const fs::path& folder) {
    const std::string where = "product " + std::to_string(product.id);
    if (!fs::is_directory(folder)) {
        refuse(where + " has no releases: " + folder.string() + " is not a folder");
    }
    std::map<std::int32_t, std::string> seen;
    for (fs::directory_iterator it(folder), end; it != end; ++it) {
        const std::string dotted = it->path().filename().string();
        if (fs::is_symlink(it->symlink_status())) {
            refuse(where + ", release " + dotted +
                   ": the release folder is a symbolic link; copy what it points to into " +
                   folder.string());
        }
        if (!fs::is_directory(it->symlink_status())) {
            continue;
        }
        const std::int32_t number = versionOf(dotted, product.id);
        if (number == 0) {
            refuse(where + ": version " + dotted +
                   " reads as 0, which the service keeps for versions never published");
        }
        if (seen.count(number) != 0) {
            refuse(where + ": versions " + std::min(seen[number], dotted) + " and " +
                   std::max(seen[number], dotted) + " both read as " + std::to_string(number));
        }
        seen[number] = dotted;
        product.releases[number] = {dotted, readRelease(it->path(), where + ", release " + dotted)};
    }
    if (product.releases.empty()) {
        refuse(where + " has no releases in " + folder.string());
    }
}

// The updater reads the ID as a signed 32-bit number and puts it into addresses as it is.
std::int32_t productId(json& entry) {
    if (!entry.is_object() || !entry["ProductID"].is_number_integer()) {
        refuse("products.json: every product needs an integer \"ProductID\"");
    }
    const json& id = entry["ProductID"];
    const bool inRange =
        id.is_number_unsigned()
            ? id.get<std::uint64_t>() <= std::numeric_limits<std::int32_t>::max()
            : id.get<std::int64_t>() >= 0 &&
                  id.get<std::int64_t>() <= std::numeric_limits<std::int32_t>::max();
    if (!inRange) {
        refuse("products.json: \"ProductID\" " + id.dump() + " is not a number from 0 to " +
               std::to_string(std::numeric_limits<std::int32_t>::max()));
    }
    return id.get<std::int32_t>();
}

void checkMinVersion(const Product& product, const std::string& minDotted, Problems& problems) {
    checkVersionOrder(product, minDotted, problems);
    const auto& [newest, release] = *product.releases.rbegin();
    if (product.minVersion > newest) {
        refuse("product " + std::to_string(product.id) + ": MinVersion " + minDotted +
               " is above the newest release " + release.dotted);
    }
}

Product readProduct(json& entry, const fs::path& releasesFolder, Problems& problems) {
    Product product;
    product.id = productId(entry);
    const std::string where = "product " + std::to_string(product.id);
    for (const char* member : {"ProdName", "Simulator", "VEXLFolderValue"}) {
        try {
            requireSafePath(text(entry, member, where), PathUse::RecordName);
        } catch (const std::runtime_error& error) {
            refuse(where + ": \"" + member + "\" " + error.what());
        }
    }
    const std::string minDotted = text(entry, "MinVersion", where);
    product.minVersion = versionOf(minDotted, product.id);
    product.row = catalogueRow(entry, where);
    readReleases(product, releasesFolder / std::to_string(product.id));
    checkMinVersion(product, minDotted, problems);
    const auto& [newest, release] = *product.releases.rbegin();
    product.record = {{"ProductID", product.id},
                      {"PVDec", release.dotted},
                      {"ProdVersion", newest},
                      {"MinVersion", product.minVersion},
                      {"VEXLFolderValue", text(entry, "VEXLFolderValue", where)},
                      {"RegistryKey", text(entry, "RegistryKey", where)},
                      {"ProdName", text(entry, "ProdName", where)},
                      {"Simulator", text(entry, "Simulator", where)}};
    return product;
}

// Products that share a file base must not publish different bytes at the same path.
void checkSharedFileBases(const std::vector<Product>& products, Problems& problems) {
    std::map<std::string, std::pair<std::int32_t, std::string>> published;
    for (const Product& product : products) {
        for (const auto& [filePath, file] : product.releases.rbegin()->second.files) {
            const auto [it, added] =
                published.insert({product.row + "/" + filePath, {product.id, file.md5}});
            if (!added && it->second.second != file.md5) {
                problems.push_back("products " + std::to_string(it->second.first) + " and " +
                                   std::to_string(product.id) + " publish different files at " +
                                   filePath + " under the same file base " + product.row);
            }
        }
    }
}

} // namespace

std::vector<Product> readProducts(const std::string& releasesFolder, Problems& problems) {
    json list;
    try {
        list = readJson(fs::path(releasesFolder) / "products.json");
    } catch (const std::runtime_error& error) {
        problems.push_back(error.what());
        return {};
    }
    if (!list.is_array() || list.empty()) {
        problems.push_back("products.json must be a non-empty array of products");
        return {};
    }
    std::vector<Product> products;
    std::map<std::int32_t, int> ids;
    for (json& entry : list) {
        try {
            products.push_back(readProduct(entry, releasesFolder, problems));
        } catch (const std::runtime_error& error) {
            problems.push_back(error.what()); // and on with the next product, to report all
            continue;
        }
        if (ids[products.back().id]++ > 0) {
            problems.push_back("product " + std::to_string(products.back().id) +
                               " is listed twice");
        }
    }
    checkSharedFileBases(products, problems);
    return products;
}
