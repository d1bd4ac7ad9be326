// Measures the updater's own operations in this process, for scripts/bench:
//   vexl-bench md5 MIB REPS                   Md5Digest and OpenSSL's MD5 over one buffer
//   vexl-bench digest FILE EXPECTED REPS      checkFileDigest of a file
//   vexl-bench download URL FILE REPS         downloadToFile of an address
//   vexl-bench apply INSTALLED PATCH OUT      a patch applied as the download phase applies it
// Each prints "name median_seconds" lines (and bytes per second where it applies).
#include "net/Downloader.h"
#include "net/Signatures.h"
#include "support/FileDownload.h"
#include "support/Reference.h"
#include "system/Limits.h"
#include "system/Md5Digest.h"
#include "update/phases/FileCheck.h"
#include "update/phases/Patching.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

namespace {

double medianSeconds(int reps, const std::function<void()>& work) {
    std::vector<double> times;
    for (int i = 0; i < reps; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

int benchMd5(std::size_t mebibytes, int reps) {
    std::vector<unsigned char> data(mebibytes << 20);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<unsigned char>(i * 2654435761u >> 24);
    }
    std::string ours;
    std::string theirs;
    // Alternated repetition by repetition, so that both meet the same load of the machine.
    std::vector<double> ourTimes;
    std::vector<double> theirTimes;
    for (int i = 0; i < reps; ++i) {
        ourTimes.push_back(medianSeconds(
            1, [&] { ours = md5Hex(data.data(), static_cast<std::uint32_t>(data.size())); }));
        theirTimes.push_back(
            medianSeconds(1, [&] { theirs = referenceMd5(data.data(), data.size()); }));
    }
    std::sort(ourTimes.begin(), ourTimes.end());
    std::sort(theirTimes.begin(), theirTimes.end());
    const double ourTime = ourTimes[reps / 2];
    const double theirTime = theirTimes[reps / 2];
    if (ours != theirs) {
        std::cerr << "digests differ: " << ours << " " << theirs << "\n";
        return 1;
    }
    std::cout << std::fixed << "md5_ours " << ourTime << " " << data.size() / ourTime << "\n"
              << "md5_openssl " << theirTime << " " << data.size() / theirTime << "\n";
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    Downloader downloader;
    if (args.size() == 3 && args[0] == "md5") {
        return benchMd5(std::stoul(args[1]), std::stoi(args[2]));
    }
    if (args.size() == 4 && args[0] == "digest") {
        bool ok = true;
        const double t = medianSeconds(std::stoi(args[3]),
                                       [&] { ok = checkFileDigest(args[1], args[2]) && ok; });
        std::cout << "digest " << t << "\n";
        return ok ? 0 : 1;
    }
    if (args.size() == 4 && args[0] == "download") {
        bool ok = true;
        const double t = medianSeconds(std::stoi(args[3]), [&] {
            ok = downloadToFile(downloader, args[1], args[2]).empty() && ok;
        });
        std::cout << "download " << t << "\n";
        return ok ? 0 : 1;
    }
    if (args.size() == 4 && args[0] == "apply") {
        // Once: the process's peak memory is measured around it.
        ListedPatch patch;
        patch.sha256 = sha256OfFile(args[2]).value_or("");
        patch.fromMd5 = md5OfFile(args[1]).value_or("");
        bool ok = false;
        const double t = medianSeconds(1, [&] {
            ok = buildFromPatch(args[1], args[2], patch, args[3], kMaxPatchedFileBytes);
        });
        std::cout << "apply " << t << "\n";
        return ok ? 0 : 1;
    }
    std::cerr << "usage: vexl-bench md5 MIB REPS | digest FILE MD5 REPS | download URL FILE REPS"
                 " | apply INSTALLED PATCH OUT\n";
    return 2;
}
