#include "foundation/file_utils.h"

#include "platform/file_system.h"

std::string toBackslashes(const std::string& path) {
    std::string result = path;
    for (char& c : result) {
        if (c == '/') c = '\\';
    }
    return result;
}

std::string directoryPath(const std::string& path) {
    std::string result = path;
    if (!result.empty() && result.back() != '/' && result.back() != '\\') {
        result += platform::pathSeparator;
    }
    if (platform::pathSeparator == '\\') result = toBackslashes(result);
    return result;
}

std::string lastPathComponent(const std::string& path) {
    std::string rest = path;
    if (!rest.empty() && (rest.back() == '/' || rest.back() == '\\')) rest.pop_back();
    const auto separator = rest.find_last_of("/\\");
    return separator == std::string::npos ? rest : rest.substr(separator + 1);
}

bool ensureDirectory(const std::string& path, bool create) {
    if (path.empty() || path.size() > platform::maxPathLength) return false;
    if (platform::directoryExists(path)) return true;
    return create && platform::createDirectory(path).ok();
}

bool fileStatus(const std::string& path, std::uint64_t* size) {
    const auto info = platform::fileInfo(path);
    if (!info) return false;
    if (size) *size = info->size;
    return true;
}
