#include "publish/Publisher.h"
#include "publish/Resign.h"
#include "publish/Signing.h"
#include "publish/TreeCheck.h"
#include "publish/Upload.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const kUsage =
    "Usage:\n"
    "  vexl-publish [--sign KEYFILE] [--expires DAYS] [--new-key] [--dry-run]\n"
    "               [--patch-releases N] RELEASES OUTPUT\n"
    "  vexl-publish --resign KEYFILE [--expires DAYS] [--new-key] OUTPUT\n"
    "  vexl-publish verify [--public-key KEY] OUTPUT\n"
    "  vexl-publish upload OUTPUT REMOTE\n"
    "  vexl-publish keygen KEYFILE\n"
    "  vexl-publish --help\n"
    "\n"
    "Turns the releases folder RELEASES (products.json and, per product ID, one folder per\n"
    "released version) into the static tree of an update service in OUTPUT, as the next\n"
    "publication into it (OUTPUT/vexl-publication.json counts them). The tree is built beside\n"
    "OUTPUT and replaces it whole once it is complete; files the previous tree has unchanged are\n"
    "linked, not copied. Releases the updater would refuse or misread are refused, every problem\n"
    "with its reason, and nothing is written. One publication into an OUTPUT at a time. It ends\n"
    "with what an updater at each published version receives and the objects (documents,\n"
    "signature records, files, patches) the publication adds, changes and deletes.\n"
    "\n"
    "  --sign KEYFILE    also sign: beside every document its signature record (NAME.json.sig:\n"
    "                    its address, SHA-256, publication and expiry, signed with the secret key\n"
    "                    in KEYFILE, which only you may read), and in every file manifest entry\n"
    "                    the SHA256 of its file\n"
    "  --expires DAYS    the signatures expire DAYS days from now (default 90); updaters refuse\n"
    "                    an expired document, so re-sign before then\n"
    "  --new-key         allow an OUTPUT signed with one key to be published unsigned or signed\n"
    "                    with another: updaters built with the old key only will refuse it\n"
    "  --dry-run         report what the publication would do, writing nothing\n"
    "  --patch-releases N\n"
    "                    make the patches of the newest release's files from the copies in each\n"
    "                    of the last N published releases below it (0 to 20, default 5; 0 makes\n"
    "                    none); an updater with any of those copies downloads only its patch\n"
    "  --resign KEYFILE  sign the tree in OUTPUT again as the next publication, with new expiry,\n"
    "                    copying no file; its documents must still match their records\n"
    "  verify OUTPUT     check every document's signature record (under KEY, else the key\n"
    "                    OUTPUT/vexl-publication.json names), every listed file's size, MD5 and\n"
    "                    SHA-256 and every removal list; one line per problem, then a summary\n"
    "  upload OUTPUT REMOTE\n"
    "                    copy the tree in OUTPUT to REMOTE, any rclone remote (such as\n"
    "                    s3:bucket/vexl) or folder, through rclone: files and patches first,\n"
    "                    then manifests and signature records, product information and\n"
    "                    vexl-publication.json, deleting what OUTPUT no longer has last, so that\n"
    "                    no document is served before what it names; only changed objects move\n"
    "  keygen KEYFILE    make a new key pair: the secret key goes into KEYFILE, readable by you\n"
    "                    only (an existing file is never replaced); the public key is printed,\n"
    "                    for the updater's VEXL_PUBLIC_KEYS\n"
    "\n"
    "Exit codes: 0 done (verify: no problem), 1 refused, failed or a problem found (the reasons\n"
    "are on standard error; verify's on standard output).\n";

// The arguments: options with their values, and the names in their order.
struct Arguments {
    std::map<std::string, std::string> options; // "--new-key" has an empty value
    std::vector<std::string> names;
};

// A name starting with "-" is an option this program does not know; such a folder is ./-name.
bool isName(const std::string& argument) {
    return !argument.empty() && argument[0] != '-';
}

// An option's value: a name, or a negative number, which the option's own check refuses by name.
bool isValue(const std::string& argument) {
    return isName(argument) || (argument.size() > 1 && argument[0] == '-' &&
                                std::isdigit(static_cast<unsigned char>(argument[1])));
}

// Nothing when an option is unknown, given twice or lacks its value.
std::optional<Arguments> parse(const std::vector<std::string>& arguments) {
    static const std::map<std::string, bool> known = {
        {"--sign", true},   {"--expires", true},    {"--new-key", false},      {"--dry-run", false},
        {"--resign", true}, {"--public-key", true}, {"--patch-releases", true}};
    Arguments parsed;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const auto option = known.find(arguments[i]);
        if (isName(arguments[i])) {
            parsed.names.push_back(arguments[i]);
        } else if (option == known.end() || parsed.options.count(option->first) != 0 ||
                   (option->second && (i + 1 == arguments.size() || !isValue(arguments[i + 1])))) {
            return std::nullopt;
        } else {
            parsed.options[option->first] = option->second ? arguments[++i] : "";
        }
    }
    return parsed;
}

bool onlyOptions(const Arguments& arguments, const std::vector<std::string>& allowed) {
    return std::all_of(arguments.options.begin(), arguments.options.end(), [&](const auto& o) {
        return std::find(allowed.begin(), allowed.end(), o.first) != allowed.end();
    });
}

// The option's whole number from `least` to `most`, `otherwise` when it is not given; nothing when
// it is not such a number.
std::optional<int> wholeNumber(const Arguments& arguments, const std::string& option, int least,
                               int most, int otherwise) {
    const auto given = arguments.options.find(option);
    if (given == arguments.options.end()) {
        return otherwise;
    }
    const std::string& text = given->second;
    if (text.empty() || text.size() > std::to_string(most).size() ||
        text.find_first_not_of("0123456789") != std::string::npos || std::stoi(text) < least ||
        std::stoi(text) > most) {
        return std::nullopt;
    }
    return std::stoi(text);
}

// The days of --expires, or nothing when they are not a whole number from 1 to the limit.
std::optional<int> expiresDays(const Arguments& arguments) {
    return wholeNumber(arguments, "--expires", 1, kMaxExpiresDays, kDefaultExpiresDays);
}

void reportSigned(const PublishOptions& options) {
    if (options.signer) {
        std::cout << "Signed with the key whose public key is " << options.signer->publicKey()
                  << "; the signatures expire on " << expiryOf(options) << "\n";
    }
}

void reportNote(const PublicationRecord& publication) {
    if (!publication.note.empty()) {
        std::cout << publication.note << "\n";
    }
}

// What each published version receives, then the publication and the objects it changes.
void reportPublication(const std::string& releases, const std::string& output,
                       const PublicationRecord& publication, bool dryRun) {
    for (const std::string& receipt : publication.receipts) {
        std::cout << receipt << "\n";
    }
    const std::string serial = std::to_string(publication.serial);
    if (dryRun) {
        std::cout << "Dry run: " << releases << " into " << output << " would be publication "
                  << serial << "; nothing was written\n";
    } else {
        std::cout << "Published " << releases << " into " << output << " as publication " << serial
                  << "\n";
    }
    std::cout << "Publication " << serial << (dryRun ? " would add " : " adds ")
              << publication.added << (dryRun ? " objects, change " : " objects, changes ")
              << publication.changed << (dryRun ? " and delete " : " and deletes ")
              << publication.deleted << " against the previous tree\n";
}

int publish(const Arguments& arguments, PublishOptions options) {
    std::unique_ptr<Signer> signer;
    if (arguments.options.count("--sign") != 0) {
        signer = std::make_unique<Signer>(arguments.options.at("--sign"));
    }
    options.signer = signer.get();
    const std::string& releases = arguments.names[0];
    const std::string& output = arguments.names[1];
    const PublicationRecord publication = publishReleases(releases, output, options);
    reportNote(publication);
    reportPublication(releases, output, publication, options.dryRun);
    if (!options.dryRun) {
        reportSigned(options);
    }
    return 0;
}

int resign(const Arguments& arguments, PublishOptions options) {
    const Signer signer(arguments.options.at("--resign"));
    options.signer = &signer;
    const std::string& output = arguments.names[0];
    const PublicationRecord publication = resignTree(output, options);
    reportNote(publication);
    std::cout << "Re-signed " << output << " as publication " << publication.serial << "\n";
    reportSigned(options);
    return 0;
}

int verify(const Arguments& arguments) {
    const auto key = arguments.options.find("--public-key");
    const TreeReport report = verifyTree(
        arguments.names[1], key == arguments.options.end() ? "" : key->second, std::time(nullptr));
    for (const std::string& problem : report.problems) {
        std::cout << problem << "\n";
    }
    std::cout << report.summary << "\n";
    return report.problems.empty() ? 0 : 1;
}

int upload(const Arguments& arguments) {
    const std::string& output = arguments.names[1];
    const std::string& remote = arguments.names[2];
    const UploadCounts counts =
        uploadTree(output, remote, [](const std::string& line) { std::cout << line << std::endl; });
    std::cout << "Uploaded " << output << " to " << remote << ": " << counts.copied
              << " objects copied, " << counts.deleted << " deleted\n";
    return 0;
}

int refuseArguments() {
    std::cerr << kUsage;
    return 1;
}

// Publishing RELEASES OUTPUT, or re-signing OUTPUT, with their options.
int publishOrResign(const Arguments& parsed) {
    const std::vector<std::string>& names = parsed.names;
    const std::optional<int> days = expiresDays(parsed);
    const bool resigning = parsed.options.count("--resign") != 0;
    const bool signing = resigning || parsed.options.count("--sign") != 0;
    if (!days || (parsed.options.count("--expires") != 0 && !signing) ||
        names.size() != (resigning ? 1u : 2u) ||
        !onlyOptions(parsed, resigning
                                 ? std::vector<std::string>{"--resign", "--expires", "--new-key"}
                                 : std::vector<std::string>{"--sign", "--expires", "--new-key",
                                                            "--dry-run", "--patch-releases"})) {
        return refuseArguments();
    }
    const std::optional<int> patchReleases =
        wholeNumber(parsed, "--patch-releases", 0, kMaxPatchReleases, kDefaultPatchReleases);
    if (!patchReleases) {
        std::cerr << "vexl-publish: --patch-releases takes a whole number from 0 to "
                  << kMaxPatchReleases << "\n";
        return refuseArguments();
    }
    PublishOptions options;
    options.expiresDays = *days;
    options.newKey = parsed.options.count("--new-key") != 0;
    options.dryRun = parsed.options.count("--dry-run") != 0;
    options.patchReleases = *patchReleases;
    return resigning ? resign(parsed, options) : publish(parsed, options);
}

int run(const std::vector<std::string>& arguments) {
    if (arguments.size() == 1 && arguments[0] == "--help") {
        std::cout << kUsage;
        return 0;
    }
    const std::optional<Arguments> parsed = parse(arguments);
    if (!parsed) {
        return refuseArguments();
    }
    const std::vector<std::string>& names = parsed->names;
    const bool command =
        !names.empty() && (names[0] == "keygen" || names[0] == "verify" || names[0] == "upload");
    if (command && names.size() == 3 && names[0] == "upload" && parsed->options.empty()) {
        return upload(*parsed);
    }
    if (command && names.size() == 2 && names[0] == "keygen" && parsed->options.empty()) {
        std::cout << makeKeyFile(names[1]) << "\n";
        return 0;
    }
    if (command && names.size() == 2 && names[0] == "verify" &&
        onlyOptions(*parsed, {"--public-key"})) {
        return verify(*parsed);
    }
    return command ? refuseArguments() : publishOrResign(*parsed);
}

// Each line of a refusal on its own line, so that every problem of a publication is seen.
void reportError(const std::string& message) {
    std::istringstream lines(message);
    for (std::string line; std::getline(lines, line);) {
        std::cerr << "vexl-publish: " << line << "\n";
    }
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& error) {
        reportError(error.what());
        return 1;
    }
}
