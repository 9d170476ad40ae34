#include "sharing.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "../platform.h"
#include "fd.h"
#include "machine.h"

namespace emu {
namespace {

constexpr unsigned kRights[] = {kRightRead, kRightWrite, kRightDelete};

// A byte per right that some handle has, and one per right that some handle
// denies.
off_t HasByte(int index) { return kSharingBytes + index; }
off_t DeniesByte(int index) { return kSharingBytes + 3 + index; }

struct flock OneByte(short type, off_t byte) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = byte;
    range.l_len = 1;
    return range;
}

// Whether an open file description other than fd's holds a claim on the byte.
bool Claimed(int fd, off_t byte) {
    struct flock probe = OneByte(F_WRLCK, byte);
    return ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

bool Claim(int fd, off_t byte) {
    struct flock claim = OneByte(F_RDLCK, byte);
    return ::fcntl(fd, F_OFD_SETLK, &claim) == 0;
}

// The rights and sharing of an outsider's whole-file lock: exclusive, it
// reads sharing nothing; shared, it reads sharing reading. The probes take
// nothing for good, and never a lock that a second probe would mistake for
// an outsider's, as they run under the machine's sharing lock.
bool OutsiderStandsInTheWay(int fd, unsigned rights, unsigned shared) {
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0) return errno == EWOULDBLOCK;
    ::flock(fd, LOCK_UN);
    if (!(rights & ~kRightRead) && (shared & kRightRead)) return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK;
    ::flock(fd, LOCK_UN);
    return false;
}

}  // namespace

unsigned RightsOfAccess(uint32_t access) {
    if (access & GENERIC_ALL) return kAllRights;
    unsigned rights = 0;
    if (access & (GENERIC_READ | GENERIC_EXECUTE | FILE_READ_DATA | FILE_EXECUTE))
        rights |= kRightRead;
    if (access & (GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA)) rights |= kRightWrite;
    if (access & DELETE) rights |= kRightDelete;
    return rights;
}

unsigned RightsOfShareMode(uint32_t shareMode) {
    return (shareMode & FILE_SHARE_READ ? kRightRead : 0) |
           (shareMode & FILE_SHARE_WRITE ? kRightWrite : 0) |
           (shareMode & FILE_SHARE_DELETE ? kRightDelete : 0);
}

uint32_t ClaimSharing(int fd, unsigned rights, unsigned shared) {
    if (!rights) return 0;
    std::optional<std::filesystem::path> root = MachineRoot();
    if (!root) return ERROR_PATH_NOT_FOUND;
    // One claim at a time on the machine, so that two opens never both see
    // the other's claim missing.
    Fd lock(::open((*root / "sharing.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!lock) return ErrorFromErrno(errno);
    while (::flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR) return ErrorFromErrno(errno);
    }
    for (int i = 0; i < 3; ++i) {
        if ((rights & kRights[i]) && Claimed(fd, DeniesByte(i))) return ERROR_SHARING_VIOLATION;
        if (!(shared & kRights[i]) && Claimed(fd, HasByte(i))) return ERROR_SHARING_VIOLATION;
    }
    if (OutsiderStandsInTheWay(fd, rights, shared)) return ERROR_SHARING_VIOLATION;
    for (int i = 0; i < 3; ++i) {
        if (((rights & kRights[i]) && !Claim(fd, HasByte(i))) ||
            (!(shared & kRights[i]) && !Claim(fd, DeniesByte(i))))
            return ErrorFromErrno(errno);
    }
    // Sharing nothing, it is what an exclusive flock says to whoever looks
    // from outside: a program file held so can't be started.
    if (!(shared & kAllRights) && ::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return ErrorFromErrno(errno);
    return 0;
}

}  // namespace emu
