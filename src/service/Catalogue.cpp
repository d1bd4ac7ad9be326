#include "service/Catalogue.h"

#include "service/ServiceAddresses.h"

#include <stdexcept>

#define VEXL_UNINSTALL "SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"

const std::vector<CatalogueRow>& catalogue() {
    static const std::vector<CatalogueRow> rows = [] {
        std::vector<CatalogueRow> all = {
            {"XSE", "744", VEXL_UNINSTALL "{3F2A6C10-4B7D-4E21-9A3C-1D5E7F902B41}", {}},
            {"XSE", "748", VEXL_UNINSTALL "{ ???????? }", {}},
            {"XSE", "77L", VEXL_UNINSTALL "{7C41E2D9-0A6B-4F3C-8E15-62B9D4A07C83}", {}},
            {"XSE", "77W", VEXL_UNINSTALL "{A93D5B27-6E18-4C0F-B274-0F8C3E61D5A9}", {}},
            {"P3D", "744", VEXL_UNINSTALL "{1E6F9A42-C35D-4B87-9F02-7A4C8B13E6D0}", {}},
            {"P3D", "748", VEXL_UNINSTALL "{5D28C7B1-94E3-4A6F-8C39-B1E07D52A4F6}", {}},
            {"P3D", "77L", VEXL_UNINSTALL "{8B07F3E5-21CA-4D94-A6E8-3C5F1B90D27E}", {}},
            {"P3D", "77W", VEXL_UNINSTALL "{C47E1D08-5F92-4B3A-9D61-E8A2F04C7B15}", {}},
        };
        for (CatalogueRow& row : all) {
            row.pairs = servicePairs(row.simulator, row.aircraft);
        }
        return all;
    }();
    return rows;
}

const CatalogueRow& findCatalogueRow(const std::string& simulator, const std::string& aircraft) {
    if (simulator != "XSE" && simulator != "P3D") {
        throw std::runtime_error("Unable to initialize application, unknown sim " + simulator);
    }
    for (const CatalogueRow& row : catalogue()) {
        if (row.simulator == simulator && row.aircraft == aircraft) {
            return row;
        }
    }
    throw std::runtime_error("Unable to initialize application, unknown aircraft " + aircraft);
}
