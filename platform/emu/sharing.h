// Windows' share modes between the handles of a file, whichever process of
// the machine holds them. A handle claims what it does to the file (read,
// write, delete) and what it denies to others; an open is refused with
// ERROR_SHARING_VIOLATION when it would do what another handle denies, or
// deny what another handle does. A handle that does none of the three takes
// no part, as on Windows.
//
// The claims are shared fcntl locks (open file description locks) on bytes
// far beyond any file's end, so they live exactly as long as the handle's
// descriptor, across fork, and vanish with a killed process. A whole-file
// lock (flock) that a program outside the machine holds counts too: shared,
// as a handle that reads sharing reading only; exclusive, as one that reads
// sharing nothing.
#ifndef VTN2_EMU_SHARING_H
#define VTN2_EMU_SHARING_H

#include <sys/types.h>

#include <cstdint>

namespace emu {

constexpr unsigned kRightRead = 1, kRightWrite = 2, kRightDelete = 4;
constexpr unsigned kAllRights = kRightRead | kRightWrite | kRightDelete;

// The rights an access mask asks for, as sharing counts them: reading (and
// executing), writing (and appending), deleting; generic rights included.
unsigned RightsOfAccess(uint32_t access);
// The rights a share mode (FILE_SHARE_*) leaves to others.
unsigned RightsOfShareMode(uint32_t shareMode);

// Claims `rights` sharing `shared` for the open file description fd, which
// must be open for reading, until it is closed: 0, or 32 when another handle
// stands in the way, or the error of the machine's lock file.
uint32_t ClaimSharing(int fd, unsigned rights, unsigned shared);

// Where the claims begin: a byte-range lock is looked for below it.
constexpr off_t kSharingBytes = 0x7FFFFFFFFFFF0000;

}  // namespace emu

#endif
