// Letter case as Windows folds it in names, paths and the C runtime's
// case-blind comparisons: the 26 ASCII letters alone, whatever the host's
// locale says (a UTF-8 byte is never a letter here).
#ifndef VTN2_EMU_ASCII_H
#define VTN2_EMU_ASCII_H

namespace emu {

constexpr char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
constexpr char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace emu

#endif
