#include "regfile.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "../../platform/emu/codepage.h"
#include "../../platform/emu/hex.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kTypeSz = 1;
constexpr uint32_t kTypeExpandSz = 2;
constexpr uint32_t kTypeBinary = 3;
constexpr uint32_t kTypeDword = 4;
constexpr uint32_t kTypeMultiSz = 7;

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";

constexpr char kExpectHeader[] =
    "\"Windows Registry Editor Version 5.00\" or \"REGEDIT4\" as the first line";
constexpr char kExpectKey[] =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Name] or [-HKEY_LOCAL_MACHINE\\SOFTWARE\\Name]";
constexpr char kExpectValue[] =
    "\"name\"=\"text\", \"name\"=dword:00000001 or \"name\"=hex:01,02";
constexpr char kExpectLine[] =
    "[KEY], \"name\"=..., @=..., a ';' comment or a blank line";
constexpr char kExpectHex[] = "bytes of two hex digits joined by commas, such as hex:01,ff,2a";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    return text;
}

std::string_view TrimRight(std::string_view text) {
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

bool ParseHexNumber(std::string_view digits, uint32_t& number) {
    uint64_t value = 0;
    if (digits.size() > 8 || !emu::ParseDigits(digits, 16, 0xFFFFFFFF, value)) return false;
    number = static_cast<uint32_t>(value);
    return true;
}

bool StartsWithFolded(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && emu::NamesEqual(text.substr(0, prefix.size()), prefix);
}

// Bytes that are not well-formed UTF-8 are taken as Latin-1, which is what
// an older file written in the 8-bit code page holds.
std::string WellFormedUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        uint32_t codePoint = 0;
        size_t length = emu::DecodeUtf8(bytes, i, codePoint);
        if (length == 0) {
            codePoint = static_cast<unsigned char>(bytes[i]);
            length = 1;
        }
        emu::AppendUtf8(out, codePoint);
        i += length;
    }
    return out;
}

// Columns of UTF-8 text, one per character.
size_t Columns(std::string_view text) {
    return static_cast<size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// One line as the parser sees it: continuation lines are joined to the line
// they continue, remembering where each came from so that a fault in the
// middle of long hex data is reported at the line that holds it.
struct Line {
    std::string text;
    std::vector<std::pair<size_t, int>> pieces;  // offset in text, line number

    int NumberAt(size_t offset) const {
        int number = pieces.front().second;
        for (const auto& [start, line] : pieces) {
            if (start <= offset) number = line;
        }
        return number;
    }
};

struct Operation {
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
    std::string path;  // full key path, for the key operations
    emu::RegValue value;
};

class Parser {
public:
    Parser(emu::Registry& registry, std::string fileName)
        : registry_(registry), fileName_(std::move(fileName)) {}

    std::vector<Operation> Parse(const std::string& bytes);

private:
    [[noreturn]] void Fail(size_t offset, const std::string& reason, const std::string& expected) const {
        throw std::runtime_error(fileName_ + ":" + std::to_string(line_.NumberAt(offset)) + ": " +
                                 reason + ": expected " + expected);
    }

    void KeyLine();
    void ValueLine();
    std::string Quoted(size_t& pos, const char* what);
    std::vector<uint8_t> HexBytes(size_t pos);

    emu::Registry& registry_;
    std::string fileName_;
    bool ansi_ = false;  // REGEDIT4: the strings in hex data are 8-bit
    bool inKey_ = false;
    Line line_;  // the logical line being read: its text and where its pieces began
    std::vector<Operation> operations_;
};

std::vector<Operation> Parser::Parse(const std::string& bytes) {
    std::string text;
    bool odd = false;
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
        odd = bytes.size() % 2 != 0;
        text = emu::Utf16leToUtf8(reinterpret_cast<const uint8_t*>(bytes.data()) + 2,
                              bytes.size() - 2);
    } else {
        std::string_view body = bytes;
        if (body.substr(0, 3) == "\xEF\xBB\xBF") body.remove_prefix(3);
        text = WellFormedUtf8(body);
    }

    std::vector<std::string_view> physical;
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string_view raw(text.data() + start, end - start);
        if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
        physical.push_back(raw);
        start = end + 1;
    }

    line_.pieces = {{0, 1}};
    std::string_view header = TrimRight(physical.front());
    if (header == kHeader4) {
        ansi_ = true;
    } else if (header != kHeader5) {
        Fail(0, "missing header", kExpectHeader);
    }

    for (size_t i = 1; i < physical.size(); ++i) {
        line_.text = std::string(TrimRight(TrimLeft(physical[i])));
        line_.pieces = {{0, static_cast<int>(i + 1)}};
        if (line_.text.empty() || line_.text[0] == ';') continue;
        if (line_.text[0] != '[') {
            while (!line_.text.empty() && line_.text.back() == '\\' && i + 1 < physical.size()) {
                line_.text.pop_back();
                ++i;
                line_.pieces.emplace_back(line_.text.size(), static_cast<int>(i + 1));
                line_.text += TrimRight(TrimLeft(physical[i]));
            }
        }
        if (line_.text[0] == '[') {
            KeyLine();
        } else if (line_.text[0] == '"' || line_.text[0] == '@') {
            ValueLine();
        } else {
            Fail(0, "unexpected line", kExpectLine);
        }
    }
    if (odd) {
        line_.pieces = {{0, static_cast<int>(physical.size())}};
        Fail(0, "the file ends in half a UTF-16 character", "UTF-16LE text of whole characters");
    }
    return std::move(operations_);
}

void Parser::KeyLine() {
    const std::string& text = line_.text;
    if (text.back() != ']') Fail(text.size(), "key line without closing ']'", kExpectKey);
    bool remove = text.size() > 1 && text[1] == '-';
    size_t start = remove ? 2 : 1;
    std::string_view path(text.data() + start, text.size() - 1 - start);
    if (!path.empty() && path.back() == '\\') path.remove_suffix(1);

    size_t slash = path.find('\\');
    std::string_view rootName = path.substr(0, slash);
    emu::RegKey* root = registry_.Root(rootName);
    if (!root) {
        Fail(start, "unknown root key '" + std::string(rootName) + "'",
             "a path beginning with HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, "
             "HKEY_USERS or HKEY_CURRENT_CONFIG (or HKLM, HKCU, HKCR, HKU, HKCC)");
    }
    if (remove && slash == std::string_view::npos) {
        Fail(start, "a root key cannot be deleted", "[-ROOT\\KEY] naming a key under the root");
    }
    std::string full = root->name();
    const size_t maxDepth = emu::Registry::MaxDepth(*root);
    size_t depth = 0;
    if (slash != std::string_view::npos) {
        for (size_t begin = slash + 1;;) {
            size_t end = std::min(path.find('\\', begin), path.size());
            std::string_view name = path.substr(begin, end - begin);
            if (name.empty()) Fail(start + begin, "empty key name", kExpectKey);
            if (!emu::KeyNameFits(name)) {
                Fail(start + begin,
                     "key name longer than " + std::to_string(emu::kMaxKeyName) + " characters",
                     "key names of at most 255 characters");
            }
            if (++depth > maxDepth) {
                Fail(start + begin,
                     "key nested deeper than " + std::to_string(maxDepth) + " levels",
                     "at most " + std::to_string(maxDepth) + " levels of keys under " + root->name() +
                         " (Windows allows 512 from the registry's top)");
            }
            full += '\\';
            full += name;
            if (end == path.size()) break;
            begin = end + 1;
        }
    }
    operations_.push_back({remove ? Operation::DeleteKey : Operation::CreateKey, full, {}});
    inKey_ = !remove;
}

// A "..." text starting at pos, with \\ and \" its only escapes; pos ends
// past the closing quote.
std::string Parser::Quoted(size_t& pos, const char* what) {
    const std::string& text = line_.text;
    std::string out;
    for (size_t i = pos + 1; i < text.size(); ++i) {
        if (text[i] == '"') {
            pos = i + 1;
            return out;
        }
        if (text[i] == '\\') {
            if (i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
                out += text[++i];
                continue;
            }
            Fail(i, std::string("unknown escape in ") + what,
                 "\\\\ for a backslash and \\\" for a quote");
        }
        out += text[i];
    }
    Fail(text.size(), std::string(what) + " without closing '\"'", kExpectValue);
}

std::vector<uint8_t> Parser::HexBytes(size_t pos) {
    const std::string& text = line_.text;
    std::vector<uint8_t> out;
    while (pos < text.size()) {
        size_t end = std::min(text.find(',', pos), text.size());
        std::string_view token = TrimRight(TrimLeft(std::string_view(text).substr(pos, end - pos)));
        uint32_t byte = 0;
        if (token.size() > 2 || !ParseHexNumber(token, byte)) {
            Fail(pos, "bad hex byte '" + std::string(token) + "'", kExpectHex);
        }
        out.push_back(static_cast<uint8_t>(byte));
        pos = end + 1;
    }
    return out;
}

void Parser::ValueLine() {
    const std::string& text = line_.text;
    size_t pos = 0;
    Operation operation{Operation::SetValue, {}, {}};
    if (text[0] == '@') {
        pos = 1;
    } else {
        operation.value.name = Quoted(pos, "value name");
    }
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
    if (pos == text.size() || text[pos] != '=') Fail(pos, "value line without '='", kExpectValue);
    ++pos;
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
    if (!inKey_) Fail(0, "value line outside a key", "a [KEY] line before the values");

    std::string_view data = std::string_view(text).substr(pos);
    emu::RegValue& value = operation.value;
    if (data.empty()) {
        Fail(pos, "value line without data", kExpectValue);
    } else if (data == "-") {
        operation.kind = Operation::DeleteValue;
    } else if (data[0] == '"') {
        std::string quoted = Quoted(pos, "text");
        if (pos != text.size()) Fail(pos, "text after the closing '\"'", kExpectValue);
        value.type = kTypeSz;
        value.data = emu::Utf8ToUtf16le(quoted);
        value.data.insert(value.data.end(), {0, 0});
    } else if (StartsWithFolded(data, "dword:")) {
        uint32_t number = 0;
        if (!ParseHexNumber(data.substr(6), number)) {
            Fail(pos + 6, "bad dword '" + std::string(data.substr(6)) + "'",
                 "dword: and up to 8 hex digits, such as dword:0000002a");
        }
        value.type = kTypeDword;
        for (int shift = 0; shift < 32; shift += 8) {
            value.data.push_back(static_cast<uint8_t>(number >> shift));
        }
    } else if (StartsWithFolded(data, "hex:")) {
        value.type = kTypeBinary;
        value.data = HexBytes(pos + 4);
    } else if (StartsWithFolded(data, "hex(")) {
        size_t close = data.find("):");
        if (close == std::string_view::npos ||
            !ParseHexNumber(data.substr(4, close - 4), value.type)) {
            Fail(pos, "bad type in '" + std::string(data.substr(0, data.find(':'))) + "'",
                 "hex(N): with N the type number in hex, such as hex(7):01,00");
        }
        value.data = HexBytes(pos + close + 2);
        if (ansi_ && (value.type == kTypeExpandSz || value.type == kTypeMultiSz)) {
            value.data = emu::Utf8ToUtf16le(WellFormedUtf8(std::string(value.data.begin(), value.data.end())));
        }
    } else {
        Fail(pos, "unknown value type '" + std::string(data.substr(0, data.find(':'))) + "'",
             kExpectValue);
    }
    operations_.push_back(std::move(operation));
}

void Apply(emu::Registry& registry, std::vector<Operation>& operations) {
    emu::RegKey* key = nullptr;
    for (Operation& operation : operations) {
        switch (operation.kind) {
            case Operation::CreateKey:
                key = registry.CreatePath(operation.path);
                break;
            case Operation::DeleteKey:
                if (emu::RegKey* gone = registry.FindPath(operation.path)) registry.Remove(*gone);
                key = nullptr;
                break;
            case Operation::SetValue:
                key->SetValue(std::move(operation.value));
                break;
            case Operation::DeleteValue:
                key->DeleteValue(operation.value.name);
                break;
        }
    }
}

std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + '"';
}

// Text only when reading it back gives the same bytes: one NUL at the end,
// no other, every character on one line, and no lone surrogate.
bool AsText(const emu::RegValue& value, std::string& text) {
    const std::vector<uint8_t>& data = value.data;
    if (value.type != kTypeSz || data.size() < 2 || data.size() % 2 != 0) return false;
    if (data[data.size() - 2] != 0 || data[data.size() - 1] != 0) return false;
    text = emu::Utf16leToUtf8(data.data(), data.size() - 2);
    if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;
    std::vector<uint8_t> back = emu::Utf8ToUtf16le(text);
    return std::equal(back.begin(), back.end(), data.begin(), data.end() - 2);
}

// Bytes wrapped the way the Windows registry editor wraps them: a line is
// broken after the comma that brings it to 77 columns or more.
void AppendHex(std::string& out, size_t column, const std::vector<uint8_t>& data) {
    constexpr size_t kBreakAt = 77;
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < data.size(); ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
        if (i + 1 == data.size()) break;
        out += ',';
        column += 3;
        if (column >= kBreakAt) {
            out += "\\\n  ";
            column = 2;
        }
    }
}

void AppendValue(std::string& out, const emu::RegValue& value) {
    std::string line = value.name.empty() ? "@=" : Quote(value.name) + "=";
    std::string text;
    if (AsText(value, text)) {
        out += line + Quote(text) + "\n";
        return;
    }
    if (value.type == kTypeDword && value.data.size() == 4) {
        char number[16];
        std::snprintf(number, sizeof number, "dword:%08x",
                      static_cast<unsigned>(value.data[0] | value.data[1] << 8 |
                                            value.data[2] << 16 | value.data[3] << 24));
        out += line + number + "\n";
        return;
    }
    if (value.type == kTypeBinary) {
        line += "hex:";
    } else {
        char type[24];
        std::snprintf(type, sizeof type, "hex(%x):", static_cast<unsigned>(value.type));
        line += type;
    }
    out += line;
    AppendHex(out, Columns(line), value.data);
    out += '\n';
}

// The key and its subtree, parents first, each key's subkeys in listing
// order; a stack of its own keeps deep trees off the call stack.
void AppendKey(std::string& out, const emu::RegKey& top) {
    std::vector<const emu::RegKey*> pending{&top};
    while (!pending.empty()) {
        const emu::RegKey& key = *pending.back();
        pending.pop_back();
        out += "\n[" + emu::Registry::LongPath(key) + "]\n";
        for (const emu::RegValue& value : key.Values()) AppendValue(out, value);
        for (size_t i = key.SubkeyCount(); i-- > 0;) pending.push_back(key.SubkeyAt(i));
    }
}

// HKLM\SOFTWARE as Windows Server 2016 and later install it: owned by the
// administrators, protected, its entries inherited by every key below.
constexpr char kSoftwareSddl[] =
    "O:BAG:SYD:PAI(A;CIIO;KA;;;CO)(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)(A;CI;KR;;;AC)"
    "(A;CI;KR;;;S-1-15-3-1024-1065365936-1281604716-3511738428-1654721687-432734479-3232135806-"
    "4053264122-3456934681)";

}  // namespace

void InitMachine(const fs::path& root) {
    if (fs::exists(root / "registry")) {
        throw std::runtime_error(root.string() + " already holds a machine");
    }
    fs::create_directories(root / "drive_c" / "windows" / "system32" / "drivers");
    fs::create_directories(root / "drive_c" / "windows" / "syswow64");
    emu::Registry registry;
    for (const char* path : {"HKLM\\SYSTEM\\CurrentControlSet\\Services",
                             "HKLM\\SYSTEM\\CurrentControlSet\\Enum",
                             "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager"}) {
        registry.CreatePath(path);
    }
    registry.CreatePath("HKLM\\SOFTWARE")->SetSddl(kSoftwareSddl);
    emu::RegistryTransaction::Create(root, registry);
}

void ImportRegText(emu::Registry& registry, const std::string& bytes, const std::string& fileName) {
    std::vector<Operation> operations = Parser(registry, fileName).Parse(bytes);
    Apply(registry, operations);
}

std::string ExportRegText(const emu::Registry&, const emu::RegKey& key) {
    std::string out(kHeader5);
    out += '\n';
    AppendKey(out, key);
    return out;
}
