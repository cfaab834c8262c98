#include "platform/file_system.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace platform {

std::optional<FileInfo> fileInfo(const std::string& path) {
    struct stat status {};
    if (path.empty() || ::stat(path.c_str(), &status) != 0) return std::nullopt;
    FileInfo info;
    info.size = static_cast<std::uint64_t>(status.st_size);
    info.directory = S_ISDIR(status.st_mode);
    info.regular = S_ISREG(status.st_mode);
    info.modifiedSeconds = static_cast<std::int64_t>(status.st_mtime);
    return info;
}

bool directoryExists(const std::string& path) {
    const auto info = fileInfo(path);
    return info && info->directory;
}

Error createDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) != 0) return Error::last();
    return Error();
}

Result<std::string> makeTemporaryDirectory(const std::string& prefix) {
    std::error_code ignored;
    std::string base = std::filesystem::temp_directory_path(ignored).string();
    if (base.empty()) base = "/tmp";
    std::string pattern = base + "/" + prefix + "XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data())) return Error::last();
    return std::string(buffer.data());
}

Error removeTree(const std::string& path) {
    std::error_code error;
    std::filesystem::remove_all(path, error);
    return Error(error ? error.value() : 0);
}

std::string absolutePath(const std::string& path) {
    if (path.empty()) return {};
    std::error_code error;
    std::filesystem::path resolved = std::filesystem::weakly_canonical(std::filesystem::absolute(path, error), error);
    if (error) return {};
    std::string text = resolved.string();
    if (path.back() == pathSeparator && (text.empty() || text.back() != pathSeparator)) text += pathSeparator;
    return text;
}

}  // namespace platform
