// Windows' access check of a key's descriptor against the running process.
#ifndef VTN2_EMU_ACCESS_CHECK_H
#define VTN2_EMU_ACCESS_CHECK_H

#include <cstdint>
#include <vector>

#include "sddl.h"

namespace emu {

// GENERIC_* bits replaced by the KEY_* rights they stand for.
uint32_t MapKeyGenericRights(uint32_t mask);

// The running process: an elevated administrator (BA, WD, AU).
const std::vector<Sid>& ProcessToken();

// Windows' check of `desired` (generic rights allowed, MAXIMUM_ALLOWED too)
// against the descriptor for a token. Returns 0 with the rights granted, or
// ERROR_ACCESS_DENIED.
uint32_t AccessCheck(const SecurityDescriptor& descriptor, const std::vector<Sid>& token,
                     uint32_t desired, uint32_t& granted);

}  // namespace emu

#endif
