#include "publish/Publisher.h"

#include "app/Catalogue.h"
#include "app/InstalledVersion.h"
#include "system/Md5Digest.h"
#include "update/ServiceQueries.h"
#include "update/UnsafePath.h"

#include <algorithm>
#include <boost/filesystem.hpp>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace fs = boost::filesystem;
using nlohmann::json;

namespace {

struct FileInfo {
    fs::path source;
    std::string md5;
    std::int32_t kilobytes = 0;
};
using FileSet = std::map<std::string, FileInfo>; // by FilePath, with backslashes

struct Release {
    std::string dotted;
    FileSet files;
};

struct Product {
    json record;     // the product object of the information document
    std::string row; // SIM/AIRCRAFT/k
    std::int32_t id = 0;
    std::int32_t minVersion = 0;
    std::map<std::int32_t, Release> releases; // by version number
};

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

void writeText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path.string(), std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) {
        refuse("cannot write " + path.string());
    }
}

// The version number of a dotted folder name; refuses what would not read back the same.
std::int32_t versionOf(const std::string& dotted, std::int32_t id) {
    const bool digitsAndDots = dotted.find_first_not_of("0123456789.") == std::string::npos;
    const bool hasDigit = dotted.find_first_of("0123456789") != std::string::npos;
    std::string digits = dotted;
    digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
    if (!digitsAndDots || !hasDigit || digits.size() > 10 || std::stoll(digits) > INT32_MAX) {
        refuse("product " + std::to_string(id) + ": version " + dotted +
               " does not read back as its version number; use digits and dots only");
    }
    return versionNumber(dotted);
}

std::string relativeFilePath(const fs::path& root, const fs::path& file, std::int32_t id) {
    std::string text;
    for (const auto& part : fs::relative(file, root)) {
        const std::string name = part.string();
        if (name.find('\\') != std::string::npos) {
            refuse("product " + std::to_string(id) + ": file name with a backslash: " + name);
        }
        text += (text.empty() ? "" : "\\") + name;
    }
    try {
        requireSafePath(text, PathUse::ManifestPath);
    } catch (const std::runtime_error&) {
        refuse("product " + std::to_string(id) + ": file path " + text +
               " has a drive, a colon or a '..' component");
    }
    return text;
}

FileSet readRelease(const fs::path& folder, std::int32_t id) {
    FileSet files;
    for (fs::recursive_directory_iterator it(folder), end; it != end; ++it) {
        if (!fs::is_regular_file(it->path())) {
            continue;
        }
        const auto md5 = md5OfFile(it->path().string());
        if (!md5) {
            refuse("cannot read " + it->path().string());
        }
        const auto bytes = fs::file_size(it->path());
        files[relativeFilePath(folder, it->path(), id)] = {
            it->path(), *md5, static_cast<std::int32_t>((bytes + 1023) / 1024)};
    }
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
        if (!fs::is_directory(it->path())) {
            continue;
        }
        const std::string dotted = it->path().filename().string();
        const std::int32_t number = versionOf(dotted, product.id);
        if (seen.count(number) != 0) {
            refuse(where + ": versions " + std::min(seen[number], dotted) + " and " +
                   std::max(seen[number], dotted) + " both read as " + std::to_string(number));
        }
        seen[number] = dotted;
        product.releases[number] = {dotted, readRelease(it->path(), product.id)};
    }
    if (product.releases.empty()) {
        refuse(where + " has no releases in " + folder.string());
    }
}

Product readProduct(json& entry, const fs::path& releasesFolder) {
    Product product;
    if (!entry.is_object() || !entry["ProductID"].is_number_integer()) {
        refuse("products.json: every product needs an integer \"ProductID\"");
    }
    product.id = entry["ProductID"].get<std::int32_t>();
    const std::string where = "product " + std::to_string(product.id);
    for (const char* member : {"ProdName", "Simulator", "VEXLFolderValue"}) {
        try {
            requireSafePath(text(entry, member, where), PathUse::RecordName);
        } catch (const std::runtime_error& error) {
            refuse(where + ": \"" + member + "\" " + error.what());
        }
    }
    product.minVersion = versionOf(text(entry, "MinVersion", where), product.id);
    product.row = catalogueRow(entry, where);
    readReleases(product, releasesFolder / std::to_string(product.id));
    const Release& newest = product.releases.rbegin()->second;
    product.record = {{"ProductID", product.id},
                      {"PVDec", newest.dotted},
                      {"ProdVersion", product.releases.rbegin()->first},
                      {"MinVersion", product.minVersion},
                      {"VEXLFolderValue", text(entry, "VEXLFolderValue", where)},
                      {"RegistryKey", text(entry, "RegistryKey", where)},
                      {"ProdName", text(entry, "ProdName", where)},
                      {"Simulator", text(entry, "Simulator", where)}};
    return product;
}

std::string folderOf(const std::string& filePath) {
    const auto slash = filePath.rfind('\\');
    return slash == std::string::npos ? "" : filePath.substr(0, slash);
}

// The files of the newest release that are new or differ from `installed`.
json manifestFrom(const FileSet& newest, const FileSet* installed) {
    json entries = json::array();
    for (const auto& [filePath, file] : newest) {
        const auto old = installed ? installed->find(filePath) : newest.end();
        if (installed && old != installed->end() && old->second.md5 == file.md5) {
            continue;
        }
        entries.push_back({{"Folder", folderOf(filePath)},
                           {"FilePath", filePath},
                           {"FileSize", file.kilobytes},
                           {"MD5Hash", file.md5}});
    }
    return entries;
}

void writeManifest(const fs::path& out, std::int32_t id, const std::string& name,
                   const json& entries) {
    std::int64_t kilobytes = 0;
    for (const auto& entry : entries) {
        kilobytes += entry["FileSize"].get<std::int32_t>();
    }
    const json summary =
        json::array({{{"TotalFiles", entries.size()},
                      {"TotalFileSize", std::min<std::int64_t>(kilobytes, INT32_MAX)}}});
    const std::string file = std::to_string(id) + "/" + name + ".json";
    writeText(out / "manifest/summary" / file, summary.dump() + "\n");
    writeText(out / "manifest/files" / file, entries.dump(1, '\t') + "\n");
}

void writeProduct(const fs::path& out, const Product& product) {
    const FileSet& newest = product.releases.rbegin()->second.files;
    for (const auto& [number, release] : product.releases) {
        if (number >= product.minVersion) {
            writeManifest(out, product.id, std::to_string(number),
                          manifestFrom(newest, &release.files));
        }
    }
    writeManifest(out, product.id, "full", manifestFrom(newest, nullptr));
    for (const auto& [filePath, file] : newest) {
        std::string relative = filePath;
        std::replace(relative.begin(), relative.end(), '\\', '/');
        const fs::path target = out / "files" / product.row / relative;
        fs::create_directories(target.parent_path());
        fs::copy_file(file.source, target, fs::copy_option::overwrite_if_exists);
    }
}

// Products that share a file base must not publish different bytes at the same path.
void checkSharedFileBases(const std::vector<Product>& products) {
    std::map<std::string, std::pair<std::int32_t, std::string>> published;
    for (const Product& product : products) {
        for (const auto& [filePath, file] : product.releases.rbegin()->second.files) {
            const auto [it, added] =
                published.insert({product.row + "/" + filePath, {product.id, file.md5}});
            if (!added && it->second.second != file.md5) {
                refuse("products " + std::to_string(it->second.first) + " and " +
                       std::to_string(product.id) + " publish different files at " + filePath +
                       " under the same file base " + product.row);
            }
        }
    }
}

} // namespace

void publishReleases(const std::string& releasesFolder, const std::string& outputFolder) {
    json list = readJson(fs::path(releasesFolder) / "products.json");
    if (!list.is_array() || list.empty()) {
        refuse("products.json must be a non-empty array of products");
    }
    std::vector<Product> products;
    std::map<std::int32_t, int> ids;
    for (json& entry : list) {
        products.push_back(readProduct(entry, releasesFolder));
        if (ids[products.back().id]++ > 0) {
            refuse("product " + std::to_string(products.back().id) + " is listed twice");
        }
    }
    checkSharedFileBases(products);

    const fs::path out(outputFolder);
    // Every pair the updater asks for gets a document, an empty list where nothing is published.
    std::map<std::string, json> documents; // product information by SIM/AIRCRAFT/k
    for (const CatalogueRow& row : catalogue()) {
        for (std::size_t k = 1; k <= row.pairs.size(); ++k) {
            documents[std::string(row.simulator) + "/" + row.aircraft + "/" + std::to_string(k)] =
                json::array();
        }
    }
    for (const Product& product : products) {
        writeProduct(out, product);
        documents[product.row].push_back(product.record);
    }
    for (const auto& [row, document] : documents) {
        writeText(out / "products" / (row + ".json"), document.dump(1, '\t') + "\n");
    }
}
