// The 8-bit code page of the machine's A calls: UTF-8, as for a program
// whose manifest sets activeCodePage to UTF-8. Windows keeps names and
// strings in UTF-16LE; these convert between the two.
#ifndef VTN2_EMU_CODEPAGE_H
#define VTN2_EMU_CODEPAGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

// Malformed UTF-8, and a lone surrogate, become U+FFFD, as MultiByteToWideChar
// and WideCharToMultiByte make them.
std::vector<uint8_t> Utf8ToUtf16le(std::string_view text);
std::string Utf16leToUtf8(const uint8_t* data, size_t bytes);

// The code point of the UTF-8 sequence at text[at] and its length in bytes;
// 0 when the bytes there are no well-formed sequence.
size_t DecodeUtf8(std::string_view text, size_t at, uint32_t& codePoint);
void AppendUtf8(std::string& out, uint32_t codePoint);

}  // namespace emu

#endif
