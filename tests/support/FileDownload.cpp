#include "support/FileDownload.h"

#include "net/Downloader.h"
#include "net/FileSink.h"
#include "net/Transfer.h"

#include <boost/filesystem/exception.hpp>
#include <memory>

std::string downloadToFile(Downloader& downloader, const std::string& url,
                           const std::string& localPath, std::uint64_t maxBytes) {
    std::unique_ptr<FileSink> sink;
    try {
        sink = std::make_unique<FileSink>(localPath, maxBytes);
    } catch (const boost::filesystem::filesystem_error&) {
        return "cannot create";
    }
    Transfer transfer(url, downloader.limits(), *sink);
    transfer.setReceiveBuffer(kDownloadBufferBytes);
    downloader.pool().perform(transfer);
    if (transfer.failed()) {
        return transfer.failedStatus() != 0 ? "status " + std::to_string(transfer.failedStatus())
                                            : "failed: " + transfer.errorText();
    }
    try {
        sink->commit();
    } catch (const boost::filesystem::filesystem_error&) {
        return "cannot commit";
    }
    return "";
}
