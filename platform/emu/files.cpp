// Files and directories of the emulated machine, with the results and error
// codes Windows gives.
//
// DOS attributes are the machine's own, kept in ROOT/attributes
// (attribute_store.h), so that they mean the same whoever runs the tests and
// on any file system. Handles share files as sharing.h says; a
// byte-range lock (fcntl) held elsewhere stands for a locked region.
#include "../platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "attribute_store.h"
#include "devices.h"
#include "errors.h"
#include "fd.h"
#include "leftovers.h"
#include "machine.h"
#include "paths.h"
#include "pending_moves.h"
#include "sharing.h"

namespace emu {
namespace {

namespace fs = std::filesystem;

// DosAttributes when the attribute store can't be read.
constexpr uint32_t kUnreadable = INVALID_FILE_ATTRIBUTES;

// What SetFileAttributesA may change; the rest (directory, ...) is the file
// system's to say.
constexpr uint32_t kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                               FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | 0x100 | 0x2000;

bool StatPath(const fs::path& path, struct stat& info) { return ::stat(path.c_str(), &info) == 0; }

bool IsDirectory(const fs::path& path) {
    struct stat info;
    return StatPath(path, info) && S_ISDIR(info.st_mode);
}

// 2 when only the file is missing, 3 when its directory is.
uint32_t MissingError(const fs::path& host) {
    return IsDirectory(host.parent_path()) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

FILETIME ToFileTime(const timespec& time) {
    const int64_t kSecondsFrom1601To1970 = 11644473600;
    uint64_t ticks = static_cast<uint64_t>(time.tv_sec + kSecondsFrom1601To1970) * 10000000u +
                     static_cast<uint64_t>(time.tv_nsec) / 100u;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// Enters a file call whose subject is a path: a fault rule matches it as
// given or as Windows folds it, so that a rule for a folder matches however
// the caller spelt its way there.
uint32_t EnterWithPath(const char* function, const char* path) {
    const std::string given = path ? path : "";
    return Enter(function, given, [&given] {
        try {
            return FullWindowsPath(given);
        } catch (const std::exception&) {
            return given;
        }
    });
}

// How each call on a path begins, in this order: entered with `subject`,
// which a fault rule may fail; then failed with `refused`, the error of its
// other arguments, when there is one; then `path` resolved. The host path,
// or nothing and the error to fail with.
std::optional<fs::path> EnterResolved(const char* function, const char* subject, const char* path,
                                      uint32_t& error, uint32_t refused = 0,
                                      bool pattern = false) {
    error = EnterWithPath(function, subject);
    if (!error) error = refused;
    if (error) return std::nullopt;
    return Resolve(path, error, pattern);
}

// The error for a host path that stat could not look at, from errno.
uint32_t StatError(const fs::path& host) {
    return errno == ENOENT ? MissingError(host) : ErrorFromErrno(errno);
}

// ---- DOS attributes ------------------------------------------------------

// kUnreadable when the attribute store is corrupt.
uint32_t DosAttributes(const fs::path& host, bool directory) {
    bool unreadable = false;
    std::optional<uint32_t> stored = StoredAttributes(host, unreadable);
    if (unreadable) return kUnreadable;
    if (directory) return FILE_ATTRIBUTE_DIRECTORY | (stored ? *stored & kSettable : 0);
    return stored ? *stored : FILE_ATTRIBUTE_ARCHIVE;
}

// ---- sharing -------------------------------------------------------------

// Whether another open locks any of the bytes to be read (length 0: to the
// end of the file's data, where the handles' claims begin).
bool ReadLocked(int fd, short whence, off_t length) {
    struct flock range {};
    range.l_type = F_RDLCK;
    range.l_whence = whence;
    range.l_len = length ? length : kSharingBytes;
    return ::fcntl(fd, F_OFD_GETLK, &range) == 0 && range.l_type != F_UNLCK;
}

// Whether the file is a running program's, which Windows lets be read and
// renamed but never written or deleted: Linux refuses to open it for writing.
bool IsRunningProgram(const fs::path& host) {
    Fd probe(::open(host.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    return !probe && errno == ETXTBSY;
}

// What another open does to a call that opens the file for a moment to
// change it, asking for `rights` and sharing `shared`: 32 when a handle's
// sharing refuses it, 33 when a byte range is locked, 0 when nothing stands
// in the way. The claim ends with the probe; a range is only asked about, as
// an open file description, to which the ranges this process itself locks
// count as well.
uint32_t InUse(const fs::path& host, unsigned rights, unsigned shared) {
    Fd probe(::open(host.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!probe) return 0;
    if (uint32_t error = ClaimSharing(probe.get(), rights, shared)) return error;
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_len = kSharingBytes;
    if (::fcntl(probe.get(), F_OFD_GETLK, &range) == 0 && range.l_type != F_UNLCK) {
        return ERROR_LOCK_VIOLATION;
    }
    return 0;
}

// How the calls that open a file for a moment claim it, as Windows' own
// opens do: a copy's source read sharing all, its destination written
// sharing reading and writing (so that a handle that may delete it stands in
// the way), and a file deleted or moved sharing all.
constexpr unsigned kCopySourceShares = kAllRights;
constexpr unsigned kCopyDestinationShares = kRightRead | kRightWrite;

// ---- copying -------------------------------------------------------------

uint32_t WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t put = ::write(fd, data, size);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return ErrorFromErrno(errno);
        data += put;
        size -= static_cast<size_t>(put);
    }
    return 0;
}

// Puts a copy of source (content, host mode, times, DOS attributes) at
// destination in one step: made in full apart, then renamed over it.
uint32_t CopyInto(const fs::path& source, const fs::path& destination) {
    std::optional<fs::path> root = MachineRoot();
    if (!root) return ERROR_PATH_NOT_FOUND;
    Fd in(::open(source.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (!in) return ErrorFromErrno(errno);
    if (uint32_t error = ClaimSharing(in.get(), kRightRead, kCopySourceShares)) return error;
    if (ReadLocked(in.get(), SEEK_SET, 0)) return ERROR_LOCK_VIOLATION;
    struct stat info;
    if (::fstat(in.get(), &info) != 0) return ErrorFromErrno(errno);

    TempFile temp(*root, destination);
    if (temp.fd() < 0) return ErrorFromErrno(errno);
    std::vector<char> buffer(1 << 16);
    for (;;) {
        ssize_t got = ::read(in.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return ErrorFromErrno(errno);
        if (got == 0) break;
        if (uint32_t error = WriteAll(temp.fd(), buffer.data(), static_cast<size_t>(got)))
            return error;
    }
    const timespec times[2] = {info.st_atim, info.st_mtim};
    if (::fchmod(temp.fd(), info.st_mode & 07777) != 0 || ::futimens(temp.fd(), times) != 0 ||
        !temp.Close()) {
        return ErrorFromErrno(errno);
    }
    return WithAttributes([&](AttributeStore& store) -> uint32_t {
        std::optional<uint32_t> attributes = store.Get(source);
        if (::rename(temp.path().c_str(), destination.c_str()) != 0) return ErrorFromErrno(errno);
        temp.Placed();
        // The source's attributes, and archive, as on any file just written.
        const uint32_t copied =
            (attributes ? *attributes & ~FILE_ATTRIBUTE_NORMAL : 0) | FILE_ATTRIBUTE_ARCHIVE;
        if (copied != FILE_ATTRIBUTE_ARCHIVE) {
            store.Set(destination, copied);
        } else {
            store.Forget(destination);
        }
        return 0;
    });
}

// ---- handles -------------------------------------------------------------

struct FileObject : Object {
    Fd fd;
    std::string path;  // as the caller gave it, for fault subjects
    bool readable = false;
    bool writable = false;
};

struct FindObject : Object {
    std::string path;
};

HANDLE OpenFile(const char* given, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    // Truncating needs the right to write, whatever the file turns out to be.
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING ||
        (disposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE)))
        return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    uint32_t unresolved = 0;
    std::optional<fs::path> host = Resolve(given, unresolved);
    if (!host) return Fail(unresolved, INVALID_HANDLE_VALUE);
    struct stat info;
    const bool existed = StatPath(*host, info);
    // A folder named with a separator at its end is looked for as a file in it.
    if (existed && S_ISDIR(info.st_mode))
        return Fail(EndsWithSeparator(given) ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED,
                    INVALID_HANDLE_VALUE);
    if (!existed && (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING))
        return Fail(MissingError(*host), INVALID_HANDLE_VALUE);
    if (existed && disposition == CREATE_NEW) return Fail(kErrorFileExists, INVALID_HANDLE_VALUE);
    const bool truncating =
        existed && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING);
    if (existed) {
        uint32_t attributes = DosAttributes(*host, false);
        if (attributes == kUnreadable) return Fail(kErrorFileCorrupt, INVALID_HANDLE_VALUE);
        uint32_t wanted = flags & kSettable;
        if ((attributes & FILE_ATTRIBUTE_READONLY) && ((access & GENERIC_WRITE) || truncating))
            return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        if (disposition == CREATE_ALWAYS &&
            (attributes & ~wanted & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)))
            return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    }

    // Readable whatever the access, as the claims of sharing are read locks.
    const int mode = (access & GENERIC_WRITE) || truncating ? O_RDWR : O_RDONLY;
    Fd fd(::open(host->c_str(),
                       mode | O_NOCTTY | O_CLOEXEC | (existed ? 0 : O_CREAT | O_EXCL), 0666));
    if (!fd) {
        const int failure = errno;
        uint32_t error = failure == ENOENT   ? MissingError(*host)
                         : failure == EEXIST ? kErrorFileExists
                                             : ErrorFromErrno(failure);
        return Fail(error, INVALID_HANDLE_VALUE);
    }
    if (uint32_t error = ClaimSharing(
            fd.get(), RightsOfAccess(truncating ? access | GENERIC_WRITE : access),
            RightsOfShareMode(share))) {
        if (!existed) ::unlink(host->c_str());
        return Fail(error, INVALID_HANDLE_VALUE);
    }
    if (truncating && ::ftruncate(fd.get(), 0) != 0)
        return Fail(ErrorFromErrno(errno), INVALID_HANDLE_VALUE);
    if (!existed || disposition == CREATE_ALWAYS) {
        uint32_t attributes = flags & kSettable & ~FILE_ATTRIBUTE_ARCHIVE;
        uint32_t error = WithAttributes([&](AttributeStore& store) -> uint32_t {
            if (attributes) {
                store.Set(*host, attributes | FILE_ATTRIBUTE_ARCHIVE);
            } else {
                store.Forget(*host);
            }
            return 0;
        });
        if (error) return Fail(error, INVALID_HANDLE_VALUE);
    }

    auto file = std::make_unique<FileObject>();
    file->fd = std::move(fd);
    file->path = given;
    file->readable = access & GENERIC_READ;
    file->writable = access & GENERIC_WRITE;
    HANDLE handle = Register(Kind::File, std::move(file));
    // Windows tells whether CREATE_ALWAYS or OPEN_ALWAYS found the file there.
    SetLastErrorCode(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                         ? ERROR_ALREADY_EXISTS
                         : ERROR_SUCCESS);
    return handle;
}

}  // namespace

}  // namespace emu

using emu::Fail;
using emu::Kind;
namespace fs = std::filesystem;

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE) {
    if (!lpFileName) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    if (uint32_t error = emu::EnterWithPath("CreateFileA", lpFileName))
        return Fail(error, INVALID_HANDLE_VALUE);
    if (std::strlen(lpFileName) >= MAX_PATH)
        return Fail(emu::kErrorFilenameTooLong, INVALID_HANDLE_VALUE);
    // After "\\?\", a drive and a separator begin a path in the file
    // namespace; anything else there, or after "\\.\", names a device.
    const bool drivePath = std::strncmp(lpFileName, "\\\\?\\", 4) == 0 &&
                           std::isalpha(static_cast<unsigned char>(lpFileName[4])) &&
                           lpFileName[5] == ':' && lpFileName[6] == '\\';
    if ((std::strncmp(lpFileName, "\\\\?\\", 4) == 0 && !drivePath) ||
        std::strncmp(lpFileName, "\\\\.\\", 4) == 0)
        return emu::OpenDevice(lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition);
    return emu::OpenFile(lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                         dwFlagsAndAttributes);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPVOID) {
    auto* file = emu::LookupAs<emu::FileObject>(hFile, Kind::File);
    if (uint32_t error = emu::Enter("ReadFile", file ? file->path : std::string()))
        return Fail(error, FALSE);
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    if (!file) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!file->readable) return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (!lpBuffer && nNumberOfBytesToRead) return Fail(ERROR_NOACCESS, FALSE);
    if (nNumberOfBytesToRead && emu::ReadLocked(file->fd.get(), SEEK_CUR, nNumberOfBytesToRead))
        return Fail(ERROR_LOCK_VIOLATION, FALSE);
    DWORD total = 0;
    while (total < nNumberOfBytesToRead) {
        ssize_t got = ::read(file->fd.get(), static_cast<char*>(lpBuffer) + total,
                             nNumberOfBytesToRead - total);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return Fail(emu::ErrorFromErrno(errno), FALSE);
        if (got == 0) break;
        total += static_cast<DWORD>(got);
    }
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = total;
    return TRUE;
}

BOOL WriteFile(HANDLE hFile, const void* lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPVOID) {
    auto* file = emu::LookupAs<emu::FileObject>(hFile, Kind::File);
    if (uint32_t error = emu::Enter("WriteFile", file ? file->path : std::string()))
        return Fail(error, FALSE);
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    if (!file) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!file->writable) return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (!lpBuffer && nNumberOfBytesToWrite) return Fail(ERROR_NOACCESS, FALSE);
    if (nNumberOfBytesToWrite) {
        struct flock range {};
        range.l_type = F_WRLCK;
        range.l_whence = SEEK_CUR;
        range.l_len = nNumberOfBytesToWrite;
        if (::fcntl(file->fd.get(), F_OFD_GETLK, &range) == 0 && range.l_type != F_UNLCK)
            return Fail(ERROR_LOCK_VIOLATION, FALSE);
    }
    if (uint32_t error = emu::WriteAll(file->fd.get(), static_cast<const char*>(lpBuffer),
                                       nNumberOfBytesToWrite))
        return Fail(error, FALSE);
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
    return TRUE;
}

HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
    uint32_t error = 0;
    std::optional<fs::path> host =
        emu::EnterResolved("FindFirstFileA", lpFileName, lpFileName, error,
                           lpFindFileData ? 0 : ERROR_INVALID_PARAMETER, true);
    if (!host) return Fail(error, INVALID_HANDLE_VALUE);
    // What a folder holds under an empty name: nothing, the root's included.
    if (emu::EndsWithSeparator(lpFileName))
        return Fail(emu::IsDirectory(*host) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND,
                    INVALID_HANDLE_VALUE);
    struct statx info {};
    if (::statx(AT_FDCWD, host->c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &info) != 0)
        return Fail(emu::StatError(*host), INVALID_HANDLE_VALUE);
    auto time = [](const statx_timestamp& t) {
        return emu::ToFileTime(
            timespec{static_cast<time_t>(t.tv_sec), static_cast<long>(t.tv_nsec)});
    };
    const bool directory = S_ISDIR(info.stx_mode);
    WIN32_FIND_DATAA data{};
    data.dwFileAttributes = emu::DosAttributes(*host, directory);
    if (data.dwFileAttributes == emu::kUnreadable)
        return Fail(emu::kErrorFileCorrupt, INVALID_HANDLE_VALUE);
    data.ftLastWriteTime = time(info.stx_mtime);
    data.ftLastAccessTime = time(info.stx_atime);
    data.ftCreationTime = time((info.stx_mask & STATX_BTIME) ? info.stx_btime : info.stx_mtime);
    const uint64_t size = directory ? 0 : info.stx_size;
    data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(size);
    std::string name = host->filename().string();
    std::strncpy(data.cFileName, name.c_str(), MAX_PATH - 1);
    *lpFindFileData = data;
    auto find = std::make_unique<emu::FindObject>();
    find->path = lpFileName;
    return emu::Register(Kind::Find, std::move(find));
}

BOOL FindClose(HANDLE hFindFile) {
    auto* find = emu::LookupAs<emu::FindObject>(hFindFile, Kind::Find);
    uint32_t error = emu::Enter("FindClose", find ? find->path : std::string());
    if (!emu::Release(hFindFile, Kind::Find)) return Fail(ERROR_INVALID_HANDLE, FALSE);
    return error ? Fail(error, FALSE) : TRUE;  // closed whatever a fault says
}

LONG CompareFileTime(const FILETIME* lpFileTime1, const FILETIME* lpFileTime2) {
    emu::Enter("CompareFileTime");  // logged only: Windows gives it no way to fail
    auto ticks = [](const FILETIME* t) {
        return (static_cast<uint64_t>(t->dwHighDateTime) << 32) | t->dwLowDateTime;
    };
    uint64_t a = ticks(lpFileTime1), b = ticks(lpFileTime2);
    return a < b ? -1 : (a > b ? 1 : 0);
}

DWORD GetFileAttributesA(LPCSTR lpFileName) {
    uint32_t error = 0;
    std::optional<fs::path> host =
        emu::EnterResolved("GetFileAttributesA", lpFileName, lpFileName, error);
    if (!host) return Fail(error, INVALID_FILE_ATTRIBUTES);
    struct stat info;
    if (!emu::StatPath(*host, info)) return Fail(emu::StatError(*host), INVALID_FILE_ATTRIBUTES);
    DWORD attributes = emu::DosAttributes(*host, S_ISDIR(info.st_mode));
    return attributes == emu::kUnreadable ? Fail(emu::kErrorFileCorrupt, attributes) : attributes;
}

BOOL SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
    uint32_t error = 0;
    std::optional<fs::path> host =
        emu::EnterResolved("SetFileAttributesA", lpFileName, lpFileName, error);
    if (!host) return Fail(error, FALSE);
    uint32_t attributes = dwFileAttributes & emu::kSettable;
    error = emu::WithAttributes([&](emu::AttributeStore& store) -> uint32_t {
        struct stat info;
        if (!emu::StatPath(*host, info)) return emu::StatError(*host);
        store.Set(*host, attributes ? attributes : FILE_ATTRIBUTE_NORMAL);
        return 0;
    });
    return error ? Fail(error, FALSE) : TRUE;
}

BOOL CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
    uint32_t error = 0;
    std::optional<fs::path> source =
        emu::EnterResolved("CopyFileA", lpNewFileName, lpExistingFileName, error);
    if (!source) return Fail(error, FALSE);
    std::optional<fs::path> destination = emu::Resolve(lpNewFileName, error);
    if (!destination) return Fail(error, FALSE);
    struct stat from, to;
    if (!emu::StatPath(*source, from)) return Fail(emu::StatError(*source), FALSE);
    if (S_ISDIR(from.st_mode)) return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (!emu::IsDirectory(destination->parent_path())) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
    if (emu::StatPath(*destination, to)) {
        if (from.st_dev == to.st_dev && from.st_ino == to.st_ino)
            return Fail(ERROR_SHARING_VIOLATION, FALSE);
        if (bFailIfExists) return Fail(emu::kErrorFileExists, FALSE);
        if (S_ISDIR(to.st_mode)) return Fail(ERROR_ACCESS_DENIED, FALSE);
        uint32_t attributes = emu::DosAttributes(*destination, false);
        if (attributes == emu::kUnreadable) return Fail(emu::kErrorFileCorrupt, FALSE);
        if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN))
            return Fail(ERROR_ACCESS_DENIED, FALSE);
        // Before the rename: it would replace a file in use without a word.
        if (emu::IsRunningProgram(*destination)) return Fail(ERROR_SHARING_VIOLATION, FALSE);
        if ((error = emu::InUse(*destination, emu::kRightWrite, emu::kCopyDestinationShares)))
            return Fail(error, FALSE);
    }
    if ((error = emu::CopyInto(*source, *destination))) return Fail(error, FALSE);
    return TRUE;
}

BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    const bool hasDestination = lpNewFileName && *lpNewFileName;
    uint32_t error = 0;
    std::optional<fs::path> source =
        emu::EnterResolved("MoveFileExA", hasDestination ? lpNewFileName : lpExistingFileName,
                           lpExistingFileName, error);
    if (!source) return Fail(error, FALSE);
    struct stat from;
    if (::lstat(source->c_str(), &from) != 0) return Fail(emu::StatError(*source), FALSE);
    if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) {
        error = emu::RecordPendingMove(lpExistingFileName, lpNewFileName, dwFlags);
        return error ? Fail(error, FALSE) : TRUE;
    }

    if (!hasDestination) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    std::optional<fs::path> destination = emu::Resolve(lpNewFileName, error);
    if (!destination) return Fail(error, FALSE);
    if (!emu::IsDirectory(destination->parent_path())) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
    struct stat to;
    if (::lstat(destination->c_str(), &to) == 0 &&
        (from.st_dev != to.st_dev || from.st_ino != to.st_ino)) {
        if (!(dwFlags & MOVEFILE_REPLACE_EXISTING)) return Fail(ERROR_ALREADY_EXISTS, FALSE);
        uint32_t attributes = emu::DosAttributes(*destination, false);
        if (attributes == emu::kUnreadable) return Fail(emu::kErrorFileCorrupt, FALSE);
        if (S_ISDIR(to.st_mode) || S_ISDIR(from.st_mode) ||
            (attributes & FILE_ATTRIBUTE_READONLY) || emu::IsRunningProgram(*destination))
            return Fail(ERROR_ACCESS_DENIED, FALSE);
        if ((error = emu::InUse(*destination, emu::kRightDelete, emu::kAllRights)))
            return Fail(error, FALSE);
    }
    if (!S_ISDIR(from.st_mode) && emu::InUse(*source, emu::kRightDelete, emu::kAllRights))
        return Fail(ERROR_SHARING_VIOLATION, FALSE);
    error = emu::WithAttributes([&](emu::AttributeStore& store) -> uint32_t {
        return emu::RenameAsGiven(*source, *destination, lpNewFileName, store);
    });
    return error ? Fail(error, FALSE) : TRUE;
}

BOOL DeleteFileA(LPCSTR lpFileName) {
    uint32_t error = 0;
    std::optional<fs::path> host = emu::EnterResolved("DeleteFileA", lpFileName, lpFileName, error);
    if (!host) return Fail(error, FALSE);
    struct stat info;
    if (::lstat(host->c_str(), &info) != 0) return Fail(emu::StatError(*host), FALSE);
    uint32_t attributes = S_ISDIR(info.st_mode) ? 0 : emu::DosAttributes(*host, false);
    if (attributes == emu::kUnreadable) return Fail(emu::kErrorFileCorrupt, FALSE);
    if (S_ISDIR(info.st_mode) || (attributes & FILE_ATTRIBUTE_READONLY) ||
        emu::IsRunningProgram(*host))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    // Whoever locks a range has the file open without sharing its deletion.
    // Once every handle shares it, the name goes at once and the file with
    // the last of them, as Windows 10 and later delete.
    if (emu::InUse(*host, emu::kRightDelete, emu::kAllRights))
        return Fail(ERROR_SHARING_VIOLATION, FALSE);
    error = emu::WithAttributes([&](emu::AttributeStore& store) -> uint32_t {
        if (::unlink(host->c_str()) != 0) return emu::ErrorFromErrno(errno);
        store.Forget(*host);
        return 0;
    });
    return error ? Fail(error, FALSE) : TRUE;
}

BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES) {
    uint32_t error = 0;
    std::optional<fs::path> host =
        emu::EnterResolved("CreateDirectoryA", lpPathName, lpPathName, error);
    if (!host) return Fail(error, FALSE);
    struct stat info;
    if (::lstat(host->c_str(), &info) == 0) return Fail(ERROR_ALREADY_EXISTS, FALSE);
    if (!emu::IsDirectory(host->parent_path())) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
    error = emu::WithAttributes([&](emu::AttributeStore& store) -> uint32_t {
        if (::mkdir(host->c_str(), 0777) != 0) return emu::ErrorFromErrno(errno);
        store.Forget(*host);
        return 0;
    });
    return error ? Fail(error, FALSE) : TRUE;
}

DWORD GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer) {
    if (uint32_t error = emu::Enter("GetCurrentDirectoryA")) return Fail<DWORD>(error, 0);
    std::error_code ec;
    fs::path current = fs::current_path(ec);
    if (ec) return Fail<DWORD>(emu::ErrorFromErrno(ec.value()), 0);
    std::string text = emu::WindowsPath(current);
    if (!lpBuffer || nBufferLength <= text.size()) return static_cast<DWORD>(text.size() + 1);
    std::memcpy(lpBuffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}
