#pragma once

#include <atomic>
#include <functional>
#include <httplib.h>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

// An HTTP server on 127.0.0.1, in a thread of the test. Answers are looked up by the raw request
// target (path and query as sent); a handler can stand in for any target.
class LoopbackServer {
public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    // Port 0 takes any free port. With a certificate of the test authority ("server", "other",
    // "wrong-host", "expired"), it answers HTTPS.
    explicit LoopbackServer(int port = 0, const std::string& certificate = "");
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // Stops answering; the port is free again afterwards.
    void stop();

    std::string url(const std::string& target = "/") const;
    int port() const { return port_; }

    void answer(const std::string& target, const std::string& body, int status = 200);
    void handle(const std::string& target, Handler handler);
    // Runs before the handler of every request; one it answers (returning true) goes no further.
    using Gate = std::function<bool(const httplib::Request&, httplib::Response&)>;
    void setGate(Gate gate);
    // The targets requested so far, in order.
    std::vector<std::string> requests() const;
    int count(const std::string& target) const;
    // The value of a request header, request by request in order ("" where it was not sent).
    std::vector<std::string> headers(const std::string& name) const;
    // How many connections the requests so far came over.
    int connections() const;

private:
    bool tls_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::map<std::string, Handler> handlers_;
    Gate gate_;
    std::vector<std::string> requests_;
    std::vector<httplib::Headers> headers_;
    std::vector<int> remotePorts_;
};

// Answers that misbehave the way real networks and servers do.
// The bytes with their length declared; the first `cuts` answers drop the connection after
// `at` bytes. Later requests get what they ask for, a Range included.
LoopbackServer::Handler cutAfter(const std::string& bytes, std::size_t at, int cuts = 1);
// The whole bytes with status 200, whatever Range the request asks for.
LoopbackServer::Handler ignoringRange(const std::string& bytes);
// The whole bytes with status 206, whatever Range the request asks for: a broken resume.
LoopbackServer::Handler wrongRange(const std::string& bytes);
// The bytes with an entity tag, honouring a Range only while its If-Range (when sent) names that
// tag, as a server does for a file that may change between requests; the first `cuts` answers
// drop the connection once `at` bytes of the whole were sent.
LoopbackServer::Handler taggedFile(const std::string& bytes, const std::string& tag,
                                   std::size_t at = std::string::npos, int cuts = 0);
// Headers and the first byte, then nothing until `release` is set (at most a minute and a half).
LoopbackServer::Handler stallAfterHeaders(std::shared_ptr<std::atomic<bool>> release);
// Bytes without end, `rate` bytes a second (0: as fast as they go), until the client gives up;
// `sent` counts them.
LoopbackServer::Handler endless(std::size_t rate = 0,
                                std::shared_ptr<std::atomic<std::size_t>> sent = nullptr);
// The statuses in turn, one a request (with Retry-After when given), then the bytes.
LoopbackServer::Handler statusesThen(std::vector<int> statuses, const std::string& bytes,
                                     const std::string& retryAfter = "");

// The update service at the compiled-in address, for 744 on P3D: product information, manifests
// and files, all written by the test.
class FakeService {
public:
    FakeService();

    LoopbackServer server;

    // The product information document of pair k (1 or 2).
    void setProducts(int k, const nlohmann::json& document);
    void setProductsText(int k, const std::string& body);
    // The summary and file manifest for the product at an installed version.
    void setManifest(int productId, int version, const nlohmann::json& entries);
    void setSummaryText(int productId, int version, const std::string& body);
    void setFileListText(int productId, int version, const std::string& body);
    // The list of files the newest release dropped since that version.
    void setRemovalList(int productId, int version, const nlohmann::json& entries);
    void setRemovalListText(int productId, int version, const std::string& body, int status = 200);
    // A file under pair k's file base; `filePath` uses backslashes, as in a manifest.
    void setFile(int k, const std::string& filePath, const std::string& bytes, int status = 200);
    // The patches offered from the files of a version, and a patch of the product's (served as
    // `served`, the patch itself unless given): its entry for a patch list.
    void setPatchList(int productId, int version, const nlohmann::json& entries);
    nlohmann::json setPatch(int productId, const std::string& filePath, const std::string& from,
                            const std::string& to, const std::string& patch,
                            const std::string& served = "");

    std::string fileBaseUrl(int k) const;
    std::string fileTarget(int k, const std::string& filePath) const;
    static std::string query(int productId, int version);
};

// One manifest entry for a file, with its digest by OpenSSL.
nlohmann::json manifestEntry(const std::string& folder, const std::string& filePath,
                             const std::string& bytes);
// One entry of a removal list for a file that held `bytes` when it was released.
nlohmann::json droppedEntry(const std::string& filePath, const std::string& bytes);
// A product object as the service sends it.
nlohmann::json productObject(int id, const std::string& name, const std::string& pvdec,
                             int minVersion, const std::string& folder,
                             const std::string& registryKey, const std::string& simulator = "P3D");
