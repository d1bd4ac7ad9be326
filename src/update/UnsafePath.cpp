#include "update/UnsafePath.h"

#include <stdexcept>

namespace {

// "..", and the forms Windows also resolves to it once it strips trailing dots and blanks.
bool isParentComponent(const std::string& component) {
    return component.find("..") != std::string::npos &&
           component.find_first_not_of(". ") == std::string::npos;
}

bool isUnsafe(const std::string& value) {
    if (!value.empty() && (value[0] == '\\' || value[0] == '/')) {
        return true;
    }
    if (value.find(':') != std::string::npos) {
        return true;
    }
    std::size_t start = 0;
    while (start <= value.size()) {
        std::size_t end = value.find_first_of("\\/", start);
        end = end == std::string::npos ? value.size() : end;
        if (isParentComponent(value.substr(start, end - start))) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

} // namespace

void requireSafePath(const std::string& value) {
    if (isUnsafe(value)) {
        throw std::runtime_error("Unsafe path in update data: " + value);
    }
}
