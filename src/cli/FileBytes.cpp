#include "FileBytes.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <new>
#include <random>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>

#include "QelRegistry.h"
#include "Utf8.h"
#else
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <system_error>
#include <utility>
#endif

namespace qelcli {

namespace {

constexpr size_t kReadChunk = size_t{1} << 20;

#if defined(_WIN32)
std::string ErrorText(DWORD code) {
    wchar_t buffer[512];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, buffer, 512, nullptr);
    while (length > 0 && (buffer[length - 1] == L'\r' || buffer[length - 1] == L'\n' ||
                          buffer[length - 1] == L'.' || buffer[length - 1] == L' '))
        --length;
    if (length == 0) return "error " + std::to_string(code);
    return ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(buffer), length));
}

#else
std::string ErrorText(int code) { return std::generic_category().message(code); }

#endif

constexpr int kTemporaryNameAttempts = 16;

// 64 random bits in hex, so that nobody can plant anything at a temporary name in advance.
std::string RandomSuffix() {
    std::random_device random;
    const std::uint64_t bits = (std::uint64_t{random()} << 32) ^ random();
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (int shift = 60; shift >= 0; shift -= 4) text += digits[(bits >> shift) & 0xF];
    return text;
}

std::string TooLarge(const std::string& name, std::uint64_t size, std::uint64_t maxBytes) {
    return name + " is " + SizeText(size) + "; files larger than " + SizeText(maxBytes) +
           " are not read";
}

// Reads to the end, or until more than `maxBytes` came. `readSome(buffer, size, error)` gives
// the bytes read, 0 at the end, or -1 with `error` set. The data is read in chunks and joined
// once, each chunk freed as it is copied: a string grown by doubling would hold up to twice the
// data, and three times while it moves.
template <class ReadSome>
std::optional<std::string> ReadChunks(ReadSome&& readSome, std::uint64_t maxBytes,
                                      const std::string& name, std::string& reason) try {
    std::vector<std::string> chunks;
    std::uint64_t total = 0;
    for (bool end = false; !end;) {
        std::string chunk(kReadChunk, '\0');
        size_t filled = 0;
        while (filled < chunk.size()) {
            int error = 0;
            const long long got = readSome(chunk.data() + filled, chunk.size() - filled, error);
            if (got < 0) {
                reason = "cannot read " + name + ": " + ErrorText(error);
                return std::nullopt;
            }
            if (got == 0) {
                end = true;
                break;
            }
            filled += static_cast<size_t>(got);
        }
        total += filled;
        if (total > maxBytes) {
            reason = name + " holds more than " + SizeText(maxBytes) +
                     ", and files larger than that are not read; stopped reading there";
            return std::nullopt;
        }
        chunk.resize(filled);
        if (filled > 0) chunks.push_back(std::move(chunk));
    }
    std::string all;
    all.reserve(static_cast<size_t>(total));
    for (std::string& chunk : chunks) {
        all += chunk;
        std::string().swap(chunk);
    }
    return all;
} catch (const std::bad_alloc&) {
    reason = "not enough memory to read " + name;
    return std::nullopt;
}

}  // namespace

std::optional<std::string> ReadStandardInput(std::uint64_t maxBytes, std::string& reason) {
#if defined(_WIN32)
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    const auto readSome = [](char* buffer, size_t size, int& error) -> long long {
        const size_t got = std::fread(buffer, 1, size, stdin);
        if (got == 0 && std::ferror(stdin) != 0) {
            error = errno;
            return -1;
        }
        return static_cast<long long>(got);
    };
    return ReadChunks(readSome, maxBytes, "standard input", reason);
}

std::string SizeText(std::uint64_t bytes) {
    constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
    const bool whole = bytes >= kMiB && bytes % kMiB == 0;
    std::string digits = std::to_string(whole ? bytes / kMiB : bytes);
    for (size_t at = digits.size(); at > 3;) {
        at -= 3;
        digits.insert(at, ",");
    }
    return digits + (whole ? " MiB" : " bytes");
}

#if !defined(_WIN32)

namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return m_fd; }
    // Closes now, to see the error close() reports (a write the kernel could not complete).
    int Close() { return ::close(std::exchange(m_fd, -1)); }

private:
    int m_fd;
};

bool WriteAll(int fd, std::string_view bytes, int& error) {
    while (!bytes.empty()) {
        const ssize_t put = ::write(fd, bytes.data(), bytes.size());
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) {
            error = errno;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(put));
    }
    return true;
}

// A FIFO or character device (a terminal, /dev/null) has no content to replace: it is written
// like any stream, where it is.
bool WriteInPlace(const std::string& name, std::string_view bytes, std::string& reason) {
    Descriptor fd(::open(name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    int error = 0;
    if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0) {
        reason = "cannot open " + name + ": " + ErrorText(errno);
        return false;
    }
    // Replaced by a regular file since it was looked at: writing into that without truncating
    // it would leave old bytes after the new.
    if (S_ISREG(st.st_mode)) {
        reason = name + " changed into a regular file while it was being opened; not written";
        return false;
    }
    if (!WriteAll(fd.Get(), bytes, error) || fd.Close() != 0) {
        reason = "cannot write " + name + ": " + ErrorText(error != 0 ? error : errno);
        return false;
    }
    return true;
}

// Follows symbolic links at `path` to the name they finally lead to, which may not exist yet.
bool FollowLinks(std::string& path, const std::string& name, std::string& reason) {
    for (int hops = 0;; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno == ENOENT) return true;
            reason = "cannot write " + name + ": " + ErrorText(errno);
            return false;
        }
        if (!S_ISLNK(st.st_mode)) return true;
        std::string target(PATH_MAX, '\0');
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (hops == 40 || length < 0 || static_cast<size_t>(length) == target.size()) {
            reason = "cannot write " + name + ": " + ErrorText(length < 0 ? errno : ELOOP);
            return false;
        }
        target.resize(static_cast<size_t>(length));
        const size_t slash = path.rfind('/');
        if (target.front() != '/' && slash != std::string::npos)
            target.insert(0, path, 0, slash + 1);
        path = std::move(target);
    }
}

// The mode a new file gets from open(): 0666 less the umask.
mode_t NewFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// Makes a rename durable: without it a crash could bring the old file back after the command
// reported success. File systems that cannot sync a directory have nothing to do.
void SyncDirectory(const std::string& directory) {
    Descriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Get() >= 0) ::fsync(fd.Get());
}

// Replaces `target` (a regular file, or none: `old` null) with a new file holding `bytes`.
bool Replace(const std::string& target, const struct stat* old, const std::string& name,
             std::string_view bytes, std::string& reason) {
    const size_t slash = target.rfind('/');
    const std::string prefix = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string directory = prefix.empty() ? "." : prefix;
    std::string temporary;
    int opened = -1;
    for (int attempt = 0; opened < 0 && attempt < kTemporaryNameAttempts; ++attempt) {
        temporary = prefix + "." + target.substr(prefix.size()) + "." + RandomSuffix() + ".tmp";
        opened =
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (opened < 0 && errno != EEXIST) break;
    }
    const std::string unchanged = old != nullptr ? "; " + name + " is unchanged" : "";
    if (opened < 0) {
        reason = "cannot create a temporary file in " + directory + " to write " + name + ": " +
                 ErrorText(errno) + unchanged;
        return false;
    }
    Descriptor fd(opened);
    const char* failed = nullptr;
    int error = 0;
    // The owner too where this process may set it (root): otherwise root's export would take a
    // user's file away from them.
    if (old != nullptr && (old->st_uid != ::geteuid() || old->st_gid != ::getegid()) &&
        ::fchown(fd.Get(), old->st_uid, old->st_gid) != 0) {
        // Not allowed: the file becomes this user's, like any file this user writes.
    }
    if (!WriteAll(fd.Get(), bytes, error)) {
        failed = "write";
    } else if (::fchmod(fd.Get(), old != nullptr ? old->st_mode & 0777 : NewFileMode()) != 0) {
        failed = "set the mode of", error = errno;
    } else if (::fsync(fd.Get()) != 0) {
        failed = "flush", error = errno;
    }
    if (fd.Close() != 0 && failed == nullptr) failed = "write", error = errno;
    if (failed == nullptr && ::rename(temporary.c_str(), target.c_str()) != 0)
        failed = "replace", error = errno;
    if (failed != nullptr) {
        ::unlink(temporary.c_str());
        reason = std::string("cannot ") + failed + " " + name + ": " + ErrorText(error) + unchanged;
        return false;
    }
    SyncDirectory(directory);
    return true;
}

}  // namespace

std::optional<std::string> ReadFileBytes(const std::string& utf8Name, std::uint64_t maxBytes,
                                         std::string& reason) {
    Descriptor fd(::open(utf8Name.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0) {
        reason = "cannot open " + utf8Name + ": " + ErrorText(errno);
        return std::nullopt;
    }
    if (S_ISDIR(st.st_mode)) {
        reason = utf8Name + " is a directory";
        return std::nullopt;
    }
    if (S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) > maxBytes) {
        reason = TooLarge(utf8Name, static_cast<std::uint64_t>(st.st_size), maxBytes);
        return std::nullopt;
    }
    const auto readSome = [&](char* buffer, size_t size, int& error) -> long long {
        for (;;) {
            const ssize_t got = ::read(fd.Get(), buffer, size);
            if (got >= 0) return got;
            if (errno == EINTR) continue;
            error = errno;
            return -1;
        }
    };
    return ReadChunks(readSome, maxBytes, utf8Name, reason);
}

bool WriteFileBytes(const std::string& utf8Name, std::string_view bytes, std::string& reason) {
    // Looked at through any links: a FIFO or device stays where it is and is written as a stream.
    struct stat st {};
    if (::stat(utf8Name.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))
            return WriteInPlace(utf8Name, bytes, reason);
        reason = utf8Name +
                 (S_ISDIR(st.st_mode) ? " is a directory"
                                      : " is not a regular file, a FIFO or a character device") +
                 "; nothing was written";
        return false;
    }
    std::string target = utf8Name;
    if (!FollowLinks(target, utf8Name, reason)) return false;
    struct stat old {};
    const bool exists = ::lstat(target.c_str(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode)) {
        reason = utf8Name + " changed while it was being looked at; nothing was written";
        return false;
    }
    return Replace(target, exists ? &old : nullptr, utf8Name, bytes, reason);
}

bool IsStandardOutput(const std::string& utf8Name) {
    struct stat named {};
    struct stat out {};
    return ::stat(utf8Name.c_str(), &named) == 0 && ::fstat(STDOUT_FILENO, &out) == 0 &&
           named.st_dev == out.st_dev && named.st_ino == out.st_ino;
}

#else  // _WIN32

namespace {

std::filesystem::path PathOf(const std::string& utf8Name) {
    return std::filesystem::path(std::u8string(utf8Name.begin(), utf8Name.end()));
}

class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : m_handle(handle) {}
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    HANDLE Get() const { return m_handle; }
    bool Valid() const { return m_handle != INVALID_HANDLE_VALUE; }
    bool Close() {
        const bool closed = !Valid() || CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
        return closed;
    }

private:
    HANDLE m_handle;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens an existing file or directory only to look at it.
HANDLE OpenToLook(const std::filesystem::path& path) {
    return CreateFileW(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool WriteAll(HANDLE handle, std::string_view bytes, DWORD& error) {
    while (!bytes.empty()) {
        DWORD put = 0;
        const auto size = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
        if (!WriteFile(handle, bytes.data(), size, &put, nullptr)) {
            error = GetLastError();
            return false;
        }
        bytes.remove_prefix(put);
    }
    return true;
}

// A console, NUL or a pipe has no content to replace: it is written like any stream.
bool WriteInPlace(const std::filesystem::path& path, const std::string& name,
                  std::string_view bytes, std::string& reason) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
    DWORD error = 0;
    if (!file.Valid()) error = GetLastError();
    if (error == 0) WriteAll(file.Get(), bytes, error);
    if (error != 0) {
        reason = "cannot write " + name + ": " + ErrorText(error);
        return false;
    }
    return true;
}

}  // namespace

std::optional<std::string> ReadFileBytes(const std::string& utf8Name, std::uint64_t maxBytes,
                                         std::string& reason) {
    FileHandle file(CreateFileW(PathOf(utf8Name).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        reason = "cannot open " + utf8Name + ": " + ErrorText(GetLastError());
        return std::nullopt;
    }
    LARGE_INTEGER size{};
    if (GetFileType(file.Get()) == FILE_TYPE_DISK && GetFileSizeEx(file.Get(), &size) &&
        static_cast<std::uint64_t>(size.QuadPart) > maxBytes) {
        reason = TooLarge(utf8Name, static_cast<std::uint64_t>(size.QuadPart), maxBytes);
        return std::nullopt;
    }
    const auto readSome = [&](char* buffer, size_t wanted, int& error) -> long long {
        DWORD got = 0;
        const auto ask = static_cast<DWORD>(std::min<size_t>(wanted, 1u << 30));
        if (ReadFile(file.Get(), buffer, ask, &got, nullptr)) return got;
        const DWORD code = GetLastError();
        if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF) return 0;
        error = static_cast<int>(code);
        return -1;
    };
    return ReadChunks(readSome, maxBytes, utf8Name, reason);
}

bool WriteFileBytes(const std::string& utf8Name, std::string_view bytes, std::string& reason) {
    std::filesystem::path target = PathOf(utf8Name);
    bool exists = false;
    {
        FileHandle existing(OpenToLook(target));
        BY_HANDLE_FILE_INFORMATION info{};
        if (existing.Valid() && GetFileType(existing.Get()) != FILE_TYPE_DISK) {
            existing.Close();
            return WriteInPlace(target, utf8Name, bytes, reason);
        }
        if (existing.Valid() && GetFileInformationByHandle(existing.Get(), &info)) {
            if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                reason = utf8Name + " is a directory; nothing was written";
                return false;
            }
            exists = true;
            // A link is followed to its target, which takes the new content.
            std::vector<wchar_t> final(32768);
            const DWORD length =
                GetFinalPathNameByHandleW(existing.Get(), final.data(),
                                          static_cast<DWORD>(final.size()), FILE_NAME_NORMALIZED);
            if (length > 0 && length < final.size())
                target = std::filesystem::path(std::wstring(final.data(), length));
        }
    }
    const std::filesystem::path directory = target.parent_path();
    const std::wstring base = target.filename().wstring();
    std::filesystem::path temporary;
    HANDLE created = INVALID_HANDLE_VALUE;
    DWORD error = 0;
    for (int attempt = 0; created == INVALID_HANDLE_VALUE && attempt < kTemporaryNameAttempts;
         ++attempt) {
        const std::string suffix = "." + RandomSuffix() + ".tmp";
        temporary = directory / (L"." + base + std::wstring(suffix.begin(), suffix.end()));
        created = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        error = created != INVALID_HANDLE_VALUE ? 0 : GetLastError();
        if (error != 0 && error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    FileHandle file(created);
    const std::string unchanged = exists ? "; " + utf8Name + " is unchanged" : "";
    if (!file.Valid()) {
        reason = "cannot create a temporary file to write " + utf8Name + ": " + ErrorText(error) +
                 unchanged;
        return false;
    }
    const char* failed = nullptr;
    if (!WriteAll(file.Get(), bytes, error)) {
        failed = "write";
    } else if (!FlushFileBuffers(file.Get())) {
        failed = "flush", error = GetLastError();
    }
    if (!file.Close() && failed == nullptr) failed = "write", error = GetLastError();
    // ReplaceFileW keeps the replaced file's attributes and security, as a rename keeps a mode.
    if (failed == nullptr &&
        !(exists ? ReplaceFileW(target.c_str(), temporary.c_str(), nullptr,
                                REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)
                 : MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)))
        failed = "replace", error = GetLastError();
    if (failed != nullptr) {
        DeleteFileW(temporary.c_str());
        reason =
            std::string("cannot ") + failed + " " + utf8Name + ": " + ErrorText(error) + unchanged;
        return false;
    }
    return true;
}

bool IsStandardOutput(const std::string& utf8Name) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE || GetFileType(out) != FILE_TYPE_DISK)
        return false;
    FileHandle named(OpenToLook(PathOf(utf8Name)));
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    return named.Valid() && GetFileInformationByHandle(named.Get(), &a) &&
           GetFileInformationByHandle(out, &b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

#endif

}  // namespace qelcli
