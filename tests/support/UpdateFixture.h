#pragma once

#include "support/LoopbackServer.h"
#include "support/TestSupport.h"
#include "system/Paths.h"
#include "update/ServiceQueries.h"
#include "update/Updater.h"

#include <boost/filesystem.hpp>
#include <map>

// A run for 744 on P3D against a fake service, with a simulator folder and a registry file in
// the test's folder. Products are published with their files; their digests come from OpenSSL.
class UpdateFixture : public SandboxTest {
protected:
    static constexpr const char* kUninstallKey =
        "SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
        "{1E6F9A42-C35D-4B87-9F02-7A4C8B13E6D0}";

    struct File {
        std::string folder;
        std::string bytes;
    };
    using Files = std::map<std::string, File>; // by FilePath

    explicit UpdateFixture(TestRegistry::Scope scope = TestRegistry::Scope::Private)
        : SandboxTest(scope) {
        updater.aircraft = "744";
        updater.simulator = "P3D";
        updater.initialise();
        log.clear();
        updater.installedVersion = 110;
        updater.installedDisplayVersion = "1.1.0";
        TransferLimits quick; // transient failures are tried again at once
        quick.firstRetryDelayMilliseconds = 0;
        updater.downloader.setLimits(quick);
        updater.updaterFolder = updaterFolder();
        boost::filesystem::create_directories(toFsPath(dir.file("Sim/VEXL 747")));
        seedRegistry();
        service.setProducts(1, nlohmann::json::array());
        service.setProducts(2, nlohmann::json::array());
    }

    // Version 1.1.0 installed, the simulator in the test's folder.
    void seedRegistry() {
        registry.seed({{RegistryRoot::LocalMachine, kUninstallKey, "DisplayVersion", "1.1.0"},
                       {RegistryRoot::CurrentUser, "Software\\Sim", "AppPath", simulatorFolder()}});
    }

    std::string simulatorFolder() const { return dir.path() + "\\Sim\\"; }
    std::string tempFolder(const std::string& name = "747 Classic") const {
        return updaterFolder() + name + "\\P3D\\";
    }
    std::string backupFolder(const std::string& name = "747 Classic") const {
        return tempFolder(name) + "Backup\\744\\P3D\\";
    }
    // The folders the driver computes for the product `name`.
    ProductFolders folders(const std::string& name = "747 Classic") const {
        return {tempFolder(name), backupFolder(name), simulatorFolder(),
                simulatorFolder() + "VEXL 747\\"};
    }
    static Manifest manifestOf(const nlohmann::json& entries) {
        return readManifest(entries.dump(), false);
    }
    // A path text as a filesystem path of this machine.
    static std::string local(const std::string& pathText) {
        std::string text = pathText;
        std::replace(text.begin(), text.end(), '\\', '/');
        return text;
    }

    ProductRecord record(int id = 3, const std::string& name = "747 Classic", int k = 1) const {
        ProductRecord r;
        r.ProductID = id;
        r.ProdName = name;
        r.Simulator = "P3D";
        r.PVDec = "1.2.0";
        r.ProdVersion = 120;
        r.MinVersion = 100;
        r.VEXLFolderValue = "VEXL 747";
        r.RegistryKey = "Software\\Sim";
        r.FileBaseUrl = service.fileBaseUrl(k);
        r.TotalFiles = 2;
        r.TotalFileSize = 8;
        return r;
    }

    // Serves the manifests of product `id` at `version` and the files under pair k.
    nlohmann::json publish(int id, int version, const Files& files, int k = 1) {
        nlohmann::json entries = nlohmann::json::array();
        for (const auto& [filePath, file] : files) {
            entries.push_back(manifestEntry(file.folder, filePath, file.bytes));
            service.setFile(k, filePath, file.bytes);
        }
        service.setManifest(id, version, entries);
        return entries;
    }

    std::string productInfo(const std::vector<ProductRecord>& records) const {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& r : records) {
            list.push_back(productObject(r.ProductID, r.ProdName, r.PVDec, r.MinVersion,
                                         r.VEXLFolderValue, r.RegistryKey, r.Simulator));
        }
        return list.dump();
    }

    std::string displayVersion() {
        SystemAccess system;
        return system
            .readRegistryString(RegistryRoot::LocalMachine, kUninstallKey, "DisplayVersion")
            .value_or("");
    }

    FakeService service;
    Updater updater;
};
