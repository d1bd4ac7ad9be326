#pragma once

#include "update/ProductRecord.h"

#include <string>
#include <vector>

// One supported combination of simulator and aircraft.
struct CatalogueRow {
    const char* simulator;
    const char* aircraft;
    const char* uninstallKey;
    std::vector<ServiceAddressPair> pairs;
};

// Every row, in catalogue order.
const std::vector<CatalogueRow>& catalogue();
