#include "platform/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace platform {

// A POSIX file system reads every name as it is spelled.
bool isAliasedPath(std::string_view) { return false; }

Result<FileInfo> fileStatus(const std::string& path) {
    struct stat status {};
    if (path.empty()) return Error(ENOENT);
    if (::stat(path.c_str(), &status) != 0) return Error::last();
    FileInfo info;
    info.size = static_cast<std::uint64_t>(status.st_size);
    info.directory = S_ISDIR(status.st_mode);
    info.regular = S_ISREG(status.st_mode);
    info.modifiedSeconds = static_cast<std::int64_t>(status.st_mtim.tv_sec);
    info.modifiedNanoseconds = static_cast<std::int64_t>(status.st_mtim.tv_nsec);
    info.fileId = static_cast<std::uint64_t>(status.st_ino);
    return info;
}

std::optional<FileInfo> fileInfo(const std::string& path) {
    auto status = fileStatus(path);
    if (!status.ok()) return std::nullopt;
    return status.value();
}

Error openError(const std::string& path) {
    if (path.empty()) return Error(ENOENT);
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0) return Error::last();
    ::close(descriptor);
    return Error();
}

bool locatedIn(const std::string& path, const std::string& directory) {
    struct stat wanted {};
    if (directory.empty() || ::stat(directory.c_str(), &wanted) != 0 || !S_ISDIR(wanted.st_mode)) return false;
    std::error_code error;
    // Links resolved, so that walking up the text walks up the tree.
    std::filesystem::path at = std::filesystem::canonical(path, error);
    if (error) return false;
    for (at = at.parent_path();; at = at.parent_path()) {
        struct stat step {};
        if (::stat(at.c_str(), &step) != 0) return false;
        if (step.st_dev == wanted.st_dev && step.st_ino == wanted.st_ino) return true;
        if (at == at.root_path()) return false;
    }
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

Error replaceFile(const std::string& from, const std::string& to) {
    std::error_code error;
    std::filesystem::rename(from, to, error);
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
