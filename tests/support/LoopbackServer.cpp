#include "support/LoopbackServer.h"

#include "support/TestSupport.h"

#include <algorithm>
#include <chrono>
#include <set>

LoopbackServer::LoopbackServer(int port, const std::string& certificate)
    : tls_(!certificate.empty()) {
    if (tls_) {
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
        const std::string folder = VEXL_TEST_CA_DIR;
        server_ =
            std::make_unique<httplib::SSLServer>((folder + "/" + certificate + ".pem").c_str(),
                                                 (folder + "/" + certificate + ".key").c_str());
#else
        throw std::runtime_error("this build's test server has no TLS");
#endif
    } else {
        server_ = std::make_unique<httplib::Server>();
    }
    server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
        Handler handler;
        Gate gate;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            gate = gate_;
            requests_.push_back(request.target);
            headers_.push_back(request.headers);
            remotePorts_.push_back(request.remote_port);
            auto it = handlers_.find(request.target);
            if (it != handlers_.end()) {
                handler = it->second;
            }
        }
        if (gate && gate(request, response)) {
            return;
        }
        if (handler) {
            handler(request, response);
        } else {
            response.status = 404;
            response.set_content("no such document", "text/plain");
        }
    });
    server_->set_keep_alive_max_count(100000); // a client may keep its connections
    if (tls_) {
        server_->set_keep_alive_timeout(1); // its connections are not cut short when it stops
    }
    // Reuse a port still in TIME_WAIT from an earlier server, but never share a live one.
    server_->set_socket_options([](socket_t sock) {
        testplatform::allowRebindingClosedPort(static_cast<std::uintptr_t>(sock));
    });
    if (port == 0) {
        port_ = server_->bind_to_any_port("127.0.0.1");
    } else {
        port_ = server_->bind_to_port("127.0.0.1", port) ? port : -1;
    }
    if (port_ <= 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

LoopbackServer::~LoopbackServer() {
    stop();
}

void LoopbackServer::stop() {
    server_->stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::string LoopbackServer::url(const std::string& target) const {
    return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_) + target;
}

void LoopbackServer::setGate(Gate gate) {
    std::lock_guard<std::mutex> lock(mutex_);
    gate_ = std::move(gate);
}

void LoopbackServer::answer(const std::string& target, const std::string& body, int status) {
    handle(target, [body, status](const httplib::Request&, httplib::Response& response) {
        if (status != 200) {
            response.status = status; // left alone, the server answers a Range with 206
        }
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

std::vector<std::string> LoopbackServer::headers(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> values;
    for (const auto& headers : headers_) {
        const auto found = headers.find(name);
        values.push_back(found == headers.end() ? "" : found->second);
    }
    return values;
}

int LoopbackServer::connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::set<int>(remotePorts_.begin(), remotePorts_.end()).size());
}

LoopbackServer::Handler cutAfter(const std::string& bytes, std::size_t at, int cuts) {
    auto left = std::make_shared<std::atomic<int>>(cuts);
    return [bytes, at, left](const httplib::Request&, httplib::Response& response) {
        const bool cut = (*left)-- > 0;
        response.set_content_provider(
            bytes.size(), "application/octet-stream",
            [bytes, at, cut](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                const std::size_t end = cut ? std::min(offset + length, at) : offset + length;
                if (offset < end) {
                    sink.write(bytes.data() + offset, end - offset);
                }
                return !cut || end < at;
            });
    };
}

LoopbackServer::Handler ignoringRange(const std::string& bytes) {
    return [bytes](const httplib::Request&, httplib::Response& response) {
        response.status = 200;
        response.set_chunked_content_provider("application/octet-stream",
                                              [bytes](std::size_t, httplib::DataSink& sink) {
                                                  sink.write(bytes.data(), bytes.size());
                                                  sink.done();
                                                  return true;
                                              });
    };
}

LoopbackServer::Handler wrongRange(const std::string& bytes) {
    return [bytes](const httplib::Request& request, httplib::Response& response) {
        ignoringRange(bytes)(request, response);
        response.status = request.has_header("Range") ? 206 : 200;
    };
}

LoopbackServer::Handler taggedFile(const std::string& bytes, const std::string& tag, std::size_t at,
                                   int cuts) {
    auto left = std::make_shared<std::atomic<int>>(cuts);
    return [bytes, tag, at, left](const httplib::Request& request, httplib::Response& response) {
        const bool cut = (*left)-- > 0;
        const std::string range = request.get_header_value("Range");
        const bool sameFile =
            !request.has_header("If-Range") || request.get_header_value("If-Range") == tag;
        const std::size_t from =
            sameFile && range.rfind("bytes=", 0) == 0 ? std::stoul(range.substr(6)) : 0;
        response.set_header("ETag", tag);
        response.status = 200;
        if (from > 0) {
            response.status = 206;
            response.set_header("Content-Range", "bytes " + std::to_string(from) + "-" +
                                                     std::to_string(bytes.size() - 1) + "/" +
                                                     std::to_string(bytes.size()));
        }
        // Chunked, so that the server library leaves the range to this handler.
        const std::size_t end = cut ? std::max(std::min(at, bytes.size()), from) : bytes.size();
        response.set_chunked_content_provider(
            "application/octet-stream",
            [bytes, from, end, cut](std::size_t, httplib::DataSink& sink) {
                sink.write(bytes.data() + from, end - from);
                if (cut) {
                    return false;
                }
                sink.done();
                return true;
            });
    };
}

LoopbackServer::Handler stallAfterHeaders(std::shared_ptr<std::atomic<bool>> release) {
    return [release](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(
            1000, "application/octet-stream",
            [release](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                if (offset == 0) {
                    sink.write("x", 1);
                }
                for (int i = 0; i < 900 && !*release; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
                return false;
            });
    };
}

LoopbackServer::Handler endless(std::size_t rate, std::shared_ptr<std::atomic<std::size_t>> sent) {
    return [rate, sent](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider(
            "application/octet-stream", [rate, sent](std::size_t, httplib::DataSink& sink) {
                const std::string chunk(rate == 0 ? 65536 : rate, 'z');
                if (rate != 0) {
                    std::this_thread::sleep_for(std::chrono::seconds(1));
                }
                if (sent) {
                    *sent += chunk.size();
                }
                return sink.write(chunk.data(), chunk.size());
            });
    };
}

LoopbackServer::Handler statusesThen(std::vector<int> statuses, const std::string& bytes,
                                     const std::string& retryAfter) {
    auto next = std::make_shared<std::atomic<std::size_t>>(0);
    return
        [statuses, bytes, retryAfter, next](const httplib::Request&, httplib::Response& response) {
            const std::size_t turn = (*next)++;
            if (turn < statuses.size()) {
                response.status = statuses[turn];
                if (!retryAfter.empty()) {
                    response.set_header("Retry-After", retryAfter);
                }
                response.set_content("busy", "text/plain");
            } else {
                response.set_content(bytes, "application/octet-stream");
            }
        };
}

namespace {

int compiledPort() {
    const std::string root = VEXL_SERVICE_URL;
    const auto colon = root.rfind(':');
    return std::stoi(root.substr(colon + 1));
}

// The address a file path is requested at, written out independently of the program.
std::string percentEncoded(const std::string& text) {
    const std::string plain = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~/";
    std::string out;
    char hex[4];
    for (const char c : text) {
        if (plain.find(c) != std::string::npos) {
            out += c;
        } else {
            std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
            out += hex;
        }
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

void FakeService::setRemovalList(int productId, int version, const nlohmann::json& entries) {
    setRemovalListText(productId, version, entries.dump());
}

void FakeService::setRemovalListText(int productId, int version, const std::string& body,
                                     int status) {
    server.answer("/manifest/removed" + query(productId, version), body, status);
}

std::string FakeService::fileTarget(int k, const std::string& filePath) const {
    std::string path = filePath;
    std::replace(path.begin(), path.end(), '\\', '/');
    return "/files/P3D/744/" + std::to_string(k) + "/" + percentEncoded(path);
}

void FakeService::setFile(int k, const std::string& filePath, const std::string& bytes,
                          int status) {
    server.answer(fileTarget(k, filePath), bytes, status);
}

void FakeService::setPatchList(int productId, int version, const nlohmann::json& entries) {
    server.answer("/manifest/patches" + query(productId, version), entries.dump());
}

nlohmann::json FakeService::setPatch(int productId, const std::string& filePath,
                                     const std::string& from, const std::string& to,
                                     const std::string& patch, const std::string& served) {
    server.answer("/patches/" + std::to_string(productId) + "/" + referenceMd5(from) + "-" +
                      referenceMd5(to) + ".zst",
                  served.empty() ? patch : served);
    return {{"FilePath", filePath},
            {"FromMD5", referenceMd5(from)},
            {"PatchSize", patch.size()},
            {"PatchSHA256", referenceSha256(patch)}};
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

nlohmann::json droppedEntry(const std::string& filePath, const std::string& bytes) {
    return {{"FilePath", filePath}, {"MD5Hash", referenceMd5(bytes)}};
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
