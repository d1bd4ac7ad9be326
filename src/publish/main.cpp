#include "publish/Publisher.h"

#include <exception>
#include <iostream>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: vexl-publish RELEASES_FOLDER OUTPUT_FOLDER\n";
        return 2;
    }
    try {
        publishReleases(argv[1], argv[2]);
    } catch (const std::exception& error) {
        std::cerr << "vexl-publish: " << error.what() << "\n";
        return 1;
    }
    std::cout << "Published " << argv[1] << " into " << argv[2] << "\n";
    return 0;
}
