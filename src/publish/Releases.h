#pragma once

#include "publish/Publication.h"

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// The releases folder as the publisher reads it, checked against everything the updater would
// refuse or misread.
//
// The folder holds products.json, a list of products:
//   {"ProductID": 3, "ProdName": "747 Classic", "Simulator": "P3D",
//    "VEXLFolderValue": "VEXL 747", "RegistryKey": "Software\\Sim", "MinVersion": "1.1.0",
//    "Catalogue": {"Simulator": "P3D", "Aircraft": "744", "Pair": 1}}
// and, per product, a folder named by its ProductID with one folder per released dotted
// version, holding the files as they lie under the simulator's install directory.

struct ReleaseFile {
    boost::filesystem::path source;
    std::string md5;
    std::int32_t kilobytes = 0;
};
using FileSet = std::map<std::string, ReleaseFile>; // by FilePath, with backslashes

struct Release {
    std::string dotted;
    FileSet files;
};

struct Product {
    nlohmann::json record; // the product object of the information document
    std::string row;       // SIM/AIRCRAFT/k of the catalogue
    std::int32_t id = 0;
    std::int32_t minVersion = 0;
    std::map<std::int32_t, Release> releases; // by version number, so the newest is last
};

// Every product of the releases folder that can be read, in the order products.json lists them.
// Whatever would make a broken service goes into `problems`, each a message for the maker naming
// the product, release, file or value; one problem of a product ends the reading of that
// product only, so that one publication reports every problem it can find.
std::vector<Product> readProducts(const std::string& releasesFolder, Problems& problems);
