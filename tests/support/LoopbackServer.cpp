#include "support/LoopbackServer.h"

#include "support/TestSupport.h"

#include <algorithm>
#include <chrono>

LoopbackServer::LoopbackServer(int port) {
    server_.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
        Handler handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request.target);
            auto it = handlers_.find(request.target);
            if (it != handlers_.end()) {
                handler = it->second;
            }
        }
        if (handler) {
            handler(request, response);
        } else {
            response.status = 404;
            response.set_content("no such document", "text/plain");
        }
    });
    // Reuse a port still in TIME_WAIT from an earlier server, but never share a live one.
    server_.set_socket_options([](socket_t sock) {
        testplatform::allowRebindingClosedPort(static_cast<std::uintptr_t>(sock));
    });
    if (port == 0) {
        port_ = server_.bind_to_any_port("127.0.0.1");
    } else {
        port_ = server_.bind_to_port("127.0.0.1", port) ? port : -1;
    }
    if (port_ <= 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
    }
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

LoopbackServer::~LoopbackServer() {
    stop();
}

void LoopbackServer::stop() {
    server_.stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::string LoopbackServer::url(const std::string& target) const {
    return "http://127.0.0.1:" + std::to_string(port_) + target;
}

void LoopbackServer::answer(const std::string& target, const std::string& body, int status) {
    handle(target, [body, status](const httplib::Request&, httplib::Response& response) {
        response.status = status;
        response.set_content(body, "application/octet-stream");
    });
}

void LoopbackServer::handle(const std::string& target, Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_[target] = std::move(handler);
}

std::vector<std::string> LoopbackServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

int LoopbackServer::count(const std::string& target) const {
    const auto all = requests();
    return static_cast<int>(std::count(all.begin(), all.end(), target));
}

namespace {

int compiledPort() {
    const std::string root = VEXL_SERVICE_URL;
    const auto colon = root.rfind(':');
    return std::stoi(root.substr(colon + 1));
}

std::string spacesEncoded(std::string text) {
    std::string out;
    for (char c : text) {
        out += c == ' ' ? std::string("%20") : std::string(1, c);
    }
    return out;
}

} // namespace

FakeService::FakeService() : server(compiledPort()) {}

void FakeService::setProducts(int k, const nlohmann::json& document) {
    setProductsText(k, document.dump());
}

void FakeService::setProductsText(int k, const std::string& body) {
    server.answer("/products/P3D/744/" + std::to_string(k) + ".json", body);
}

std::string FakeService::query(int productId, int version) {
    return "?product=" + std::to_string(productId) + "&version=" + std::to_string(version);
}

void FakeService::setManifest(int productId, int version, const nlohmann::json& entries) {
    setSummaryText(productId, version,
                   nlohmann::json::array(
                       {{{"TotalFiles", entries.size()}, {"TotalFileSize", 4 * entries.size()}}})
                       .dump());
    setFileListText(productId, version, entries.dump());
}

void FakeService::setSummaryText(int productId, int version, const std::string& body) {
    server.answer("/manifest/summary" + query(productId, version), body);
}

void FakeService::setFileListText(int productId, int version, const std::string& body) {
    server.answer("/manifest/files" + query(productId, version), body);
}

std::string FakeService::fileTarget(int k, const std::string& filePath) const {
    std::string path = filePath;
    std::replace(path.begin(), path.end(), '\\', '/');
    return spacesEncoded("/files/P3D/744/" + std::to_string(k) + "/" + path);
}

void FakeService::setFile(int k, const std::string& filePath, const std::string& bytes,
                          int status) {
    server.answer(fileTarget(k, filePath), bytes, status);
}

std::string FakeService::fileBaseUrl(int k) const {
    return std::string(VEXL_SERVICE_URL) + "files/P3D/744/" + std::to_string(k) + "/";
}

nlohmann::json manifestEntry(const std::string& folder, const std::string& filePath,
                             const std::string& bytes) {
    return {{"Folder", folder},
            {"FilePath", filePath},
            {"FileSize", static_cast<int>((bytes.size() + 1023) / 1024)},
            {"MD5Hash", referenceMd5(bytes)}};
}

nlohmann::json productObject(int id, const std::string& name, const std::string& pvdec,
                             int minVersion, const std::string& folder,
                             const std::string& registryKey, const std::string& simulator) {
    std::string digits = pvdec;
    digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
    return {{"ProductID", id},
            {"PVDec", pvdec},
            {"ProdVersion", std::stoi(digits)},
            {"MinVersion", minVersion},
            {"VEXLFolderValue", folder},
            {"RegistryKey", registryKey},
            {"ProdName", name},
            {"Simulator", simulator}};
}
