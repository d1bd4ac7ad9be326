#pragma once

#include "service/ProductRecord.h"

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

// The row of a simulator and aircraft; throws std::runtime_error "Unable to initialize
// application, unknown sim " + simulator, or "... unknown aircraft " + aircraft.
const CatalogueRow& findCatalogueRow(const std::string& simulator, const std::string& aircraft);
