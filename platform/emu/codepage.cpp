#include "codepage.h"

namespace emu {

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

bool IsSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }

void AppendUnit(std::vector<uint8_t>& out, uint32_t unit) {
    out.push_back(static_cast<uint8_t>(unit));
    out.push_back(static_cast<uint8_t>(unit >> 8));
}

}  // namespace

size_t DecodeUtf8(std::string_view text, size_t at, uint32_t& codePoint) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    const size_t length = lead < 0x80                  ? 1
                          : lead >= 0xC2 && lead <= 0xDF ? 2
                          : lead >= 0xE0 && lead <= 0xEF ? 3
                          : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                         : 0;
    if (length == 0 || at + length > text.size()) return 0;
    codePoint = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        if ((byte(at + k) & 0xC0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (byte(at + k) & 0x3F);
    }
    // Overlong forms and surrogates are no UTF-8.
    static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kSmallest[length] || codePoint > 0x10FFFF || IsSurrogate(codePoint)) return 0;
    return length;
}

void AppendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

std::vector<uint8_t> Utf8ToUtf16le(std::string_view text) {
    std::vector<uint8_t> out;
    out.reserve(text.size() * 2);
    for (size_t at = 0; at < text.size();) {
        uint32_t codePoint = 0;
        size_t length = DecodeUtf8(text, at, codePoint);
        if (length == 0) {
            codePoint = kReplacement;
            length = 1;
        }
        if (codePoint >= 0x10000) {
            AppendUnit(out, 0xD800 + ((codePoint - 0x10000) >> 10));
            AppendUnit(out, 0xDC00 + ((codePoint - 0x10000) & 0x3FF));
        } else {
            AppendUnit(out, codePoint);
        }
        at += length;
    }
    return out;
}

std::string Utf16leToUtf8(const uint8_t* data, size_t bytes) {
    std::string out;
    out.reserve(bytes / 2);
    auto unitAt = [&](size_t i) { return static_cast<uint32_t>(data[i] | (data[i + 1] << 8)); };
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        uint32_t unit = unitAt(i);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes && unitAt(i + 2) >= 0xDC00 &&
            unitAt(i + 2) <= 0xDFFF) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (unitAt(i + 2) - 0xDC00);
            i += 2;
        } else if (IsSurrogate(unit)) {
            unit = kReplacement;
        }
        AppendUtf8(out, unit);
    }
    return out;
}

}  // namespace emu
