#include "publish/Publisher.h"
#include "publish/Signing.h"

#include <algorithm>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

const char* const kUsage =
    "Usage:\n"
    "  vexl-publish [--sign KEYFILE] RELEASES OUTPUT\n"
    "  vexl-publish keygen KEYFILE\n"
    "  vexl-publish --help\n"
    "\n"
    "Turns the releases folder RELEASES (products.json and, per product ID, one folder per\n"
    "released version) into the static tree of an update service in OUTPUT. The tree is built\n"
    "beside OUTPUT and replaces it whole once it is complete; releases the updater would refuse\n"
    "or misread are refused with the reason.\n"
    "\n"
    "  --sign KEYFILE  also sign every document with the secret key in KEYFILE (its signature\n"
    "                  beside it: NAME.json.sig) and give every file manifest entry the SHA256\n"
    "                  of its file\n"
    "  keygen KEYFILE  make a new key pair: the secret key goes into KEYFILE, readable by you\n"
    "                  only (an existing file is never replaced); the public key is printed,\n"
    "                  for the updater's VEXL_PUBLIC_KEYS\n"
    "\n"
    "Exit codes: 0 done, 1 refused or failed (the reason is on standard error).\n";

int refuseArguments() {
    std::cerr << kUsage;
    return 1;
}

int publish(const std::string& releases, const std::string& output, const std::string& keyFile) {
    std::unique_ptr<Signer> signer;
    if (!keyFile.empty()) {
        signer = std::make_unique<Signer>(keyFile);
    }
    publishReleases(releases, output, signer.get());
    std::cout << "Published " << releases << " into " << output << "\n";
    if (signer) {
        std::cout << "Signed with the key whose public key is " << signer->publicKey() << "\n";
    }
    return 0;
}

// A name starting with "-" is an option this program does not know; such a folder is ./-name.
bool isName(const std::string& argument) {
    return !argument.empty() && argument[0] != '-';
}

int run(const std::vector<std::string>& arguments) {
    if (arguments.size() == 1 && arguments[0] == "--help") {
        std::cout << kUsage;
        return 0;
    }
    if (arguments.size() == 2 && arguments[0] == "keygen" && isName(arguments[1])) {
        std::cout << makeKeyFile(arguments[1]) << "\n";
        return 0;
    }
    const bool signing = arguments.size() == 4 && arguments[0] == "--sign";
    const std::vector<std::string> names(arguments.begin() + (signing ? 1 : 0), arguments.end());
    if ((names.size() != 2 && !signing) || !std::all_of(names.begin(), names.end(), isName)) {
        return refuseArguments();
    }
    return publish(names[names.size() - 2], names.back(), signing ? names[0] : "");
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& error) {
        std::cerr << "vexl-publish: " << error.what() << "\n";
        return 1;
    }
}
