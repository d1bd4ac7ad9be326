#pragma once

#include <string>

// Turns a releases folder into the static tree of an update service.
//
// The releases folder holds products.json, a list of products:
//   {"ProductID": 3, "ProdName": "747 Classic", "Simulator": "P3D",
//    "VEXLFolderValue": "VEXL 747", "RegistryKey": "Software\\Sim", "MinVersion": "1.1.0",
//    "Catalogue": {"Simulator": "P3D", "Aircraft": "744", "Pair": 1}}
// and, per product, a folder named by its ProductID with one folder per released dotted
// version, holding the files as they lie under the simulator's install directory.
//
// The tree gets, under the output folder: products/SIM/AIRCRAFT/k.json, the newest files under
// files/SIM/AIRCRAFT/k/, and manifest/{summary,files}/ID/VERSION.json for every published
// version from MinVersion on, plus full.json for any other version.
//
// Throws std::runtime_error with a message for the maker when the releases would make a broken
// service. Publishing the same releases twice writes the same bytes.
void publishReleases(const std::string& releasesFolder, const std::string& outputFolder);
