#include "platform/open_file.h"

#include "platform/win32/file_identity.h"
#include "platform/win32/wide_text.h"

namespace platform {
namespace {

FileIdentity identityOf(const win32::HandleFacts& facts) {
    FileIdentity identity;
    identity.device = facts.volume;
    identity.inode = facts.index;
    identity.size = facts.size;
    identity.modifiedNanos = facts.modifiedNanos;
    identity.regular = facts.regular;
    identity.directory = facts.directory;
    return identity;
}

}  // namespace

Result<Descriptor> openForReading(const std::string& path) {
    if (path.empty()) return Error(ERROR_FILE_NOT_FOUND);
    // Others may write, rename and delete the file while it is open, as on
    // POSIX; the handle is not inherited by children.
    const HANDLE handle = ::CreateFileW(win32::toWide(path).c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Error::last();
    return Descriptor(win32::fromHandle(handle));
}

Result<FileIdentity> fileIdentity(const std::string& path) {
    auto facts = win32::factsOf(path);
    if (!facts.ok()) return facts.error();
    return identityOf(facts.value());
}

Result<FileIdentity> fileIdentity(int fd) {
    auto facts = win32::factsOf(win32::toHandle(fd));
    if (!facts.ok()) return facts.error();
    return identityOf(facts.value());
}

IoResult readAt(int fd, void* data, std::size_t capacity, std::uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xffffffffu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    if (capacity > 0x40000000) capacity = 0x40000000;
    DWORD got = 0;
    if (!::ReadFile(win32::toHandle(fd), data, static_cast<DWORD>(capacity), &got, &at)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_HANDLE_EOF) return IoResult{};
        return IoResult{0, Error(static_cast<int>(error))};
    }
    return IoResult{static_cast<std::size_t>(got), Error()};
}

}  // namespace platform
