// The one reader of hexadecimal and decimal digits in the machine's texts:
// its stores, SDDL, device IDs and .reg files.
#ifndef VTN2_EMU_HEX_H
#define VTN2_EMU_HEX_H

#include <cstdint>
#include <string_view>

namespace emu {

// The value of a hexadecimal digit of either case; -1 for anything else.
inline int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Digits of `base` (10 or 16) only, no sign or prefix, at most `limit`.
inline bool ParseDigits(std::string_view text, int base, uint64_t limit, uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    value = 0;
    for (char c : text) {
        int digit = HexDigit(c);
        if (digit < 0 || digit >= base) return false;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (value > limit) return false;
    }
    return true;
}

}  // namespace emu

#endif
