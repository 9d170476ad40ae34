#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/emu/key_security.h"
#include "platform/emu/machine.h"
#include "platform/emu/codepage.h"
#include "platform/emu/registry_store.h"
#include "tools/machine/regfile.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr char kHeader5[] = "Windows Registry Editor Version 5.00";
constexpr char kHeader4[] = "REGEDIT4";

class RegFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vtn2-regfile-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
};

Bytes Utf16z(const std::string& latin1) {
    Bytes out = emu::Utf8ToUtf16le(latin1);
    out.insert(out.end(), {0, 0});
    return out;
}

std::string Crlf(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

// UTF-8 test text as a file written in UTF-16LE with a BOM and CRLF line ends.
std::string Utf16File(const std::string& utf8) {
    std::string text = Crlf(utf8), out = "\xFF\xFE";
    auto unit = [&](uint32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        uint32_t cp = length == 1 ? c : c & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) cp = cp << 6 | (text[i + k] & 0x3F);
        if (cp > 0xFFFF) {
            unit(0xD800 + ((cp - 0x10000) >> 10));
            unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            unit(cp);
        }
        i += length;
    }
    return out;
}

struct Encoding {
    const char* name;
    std::string (*encode)(const std::string& utf8);
};

const Encoding kEncodings[] = {
    {"UTF-8, LF", [](const std::string& t) { return t; }},
    {"UTF-8 with BOM, CRLF", [](const std::string& t) { return "\xEF\xBB\xBF" + Crlf(t); }},
    {"UTF-16LE, CRLF", Utf16File},
};

std::string Repeat(const std::string& text, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i) out += text;
    return out;
}

// A subtree as text, for comparing two registries.
std::string Dump(const emu::RegKey& key) {
    std::ostringstream out;
    out << emu::Registry::LongPath(key) << '\n';
    for (const emu::RegValue& value : key.Values()) {
        out << "  \"" << value.name << "\" " << value.type << ':';
        for (uint8_t b : value.data) out << ' ' << static_cast<int>(b);
        out << '\n';
    }
    for (const emu::RegKey* sub : key.Subkeys()) out << Dump(*sub);
    return out.str();
}

TEST_F(RegFileTest, ImportsEveryValueFormInEveryEncoding) {
    struct Row {
        const char* name;
        const char* header;  // null: both
        std::string line;
        std::string valueName;
        uint32_t type;
        Bytes data;
    };
    const Row rows[] = {
        {"text with escapes", nullptr, R"("v"="a\\b\"c")", "v", 1, Utf16z("a\\b\"c")},
        {"empty text", nullptr, R"("v"="")", "v", 1, {0, 0}},
        {"default value", nullptr, R"(@="d")", "", 1, Utf16z("d")},
        {"escaped name", nullptr, R"("a\"=\\"=dword:1)", "a\"=\\", 4, {1, 0, 0, 0}},
        {"dword", nullptr, "\"v\"=dword:0001F2a3", "v", 4, {0xa3, 0xf2, 0x01, 0}},
        {"binary", nullptr, "\"v\"=hex:01,ff,0A", "v", 3, {1, 0xff, 0x0a}},
        {"empty binary", nullptr, "\"v\"=hex:", "v", 3, {}},
        {"type by number", nullptr, "\"v\"=hex(b):01,00,00,00,00,00,00,02", "v", 11,
         {1, 0, 0, 0, 0, 0, 0, 2}},
        {"type zero", nullptr, "\"v\"=hex(0):", "v", 0, {}},
        {"expand string as given", kHeader5, "\"v\"=hex(2):25,00,41,00,00,00", "v", 2,
         {0x25, 0, 0x41, 0, 0, 0}},
        {"unterminated multi-string as given", kHeader5, "\"v\"=hex(7):61,00,00,00,62,00", "v", 7,
         {0x61, 0, 0, 0, 0x62, 0}},
        {"8-bit expand string widened", kHeader4, "\"v\"=hex(2):25,41,00", "v", 2,
         {0x25, 0, 0x41, 0, 0, 0}},
        {"8-bit multi-string widened", kHeader4, "\"v\"=hex(7):61,00,e9,00,00", "v", 7,
         {0x61, 0, 0, 0, 0xe9, 0, 0, 0, 0, 0}},
        {"8-bit binary not widened", kHeader4, "\"v\"=hex:61,00", "v", 3, {0x61, 0}},
        {"non-ASCII kept whole", nullptr,
         "\"n\xC3\xA4me\"=\"\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80\"", "n\xC3\xA4me", 1,
         Bytes{0xFC, 0, 0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE, 0, 0}},
    };
    for (const Row& row : rows) {
        for (const char* header : {kHeader5, kHeader4}) {
            if (row.header && row.header != header) continue;
            for (const Encoding& encoding : kEncodings) {
                SCOPED_TRACE(std::string(row.name) + ", " + header + ", " + encoding.name);
                std::string text =
                    std::string(header) + "\n\n[HKEY_LOCAL_MACHINE\\T]\n" + row.line + "\n";
                emu::Registry registry;
                ImportRegText(registry, encoding.encode(text), "t.reg");
                emu::RegKey* key = registry.FindPath("HKLM\\T");
                ASSERT_NE(key, nullptr);
                ASSERT_EQ(key->Values().size(), 1u);
                EXPECT_EQ(key->Values()[0].name, row.valueName);
                EXPECT_EQ(key->Values()[0].type, row.type);
                EXPECT_EQ(key->Values()[0].data, row.data);
            }
        }
    }
}

TEST_F(RegFileTest, BytesThatAreNotUtf8AreTakenAsLatin1) {
    emu::Registry registry;
    ImportRegText(registry, "REGEDIT4\n[HKLM\\Caf\xE9]\n\"\xE9t\xE9\"=\"\xC3\xA9 \xE9\"\n",
                  "t.reg");
    emu::RegKey* key = registry.FindPath("HKLM\\Caf\xC3\xA9");
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(key->Values().size(), 1u);
    EXPECT_EQ(key->Values()[0].name, "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(key->Values()[0].data, (Bytes{0xE9, 0, ' ', 0, 0xE9, 0, 0, 0}));
}

TEST_F(RegFileTest, KeyLinesAcceptEveryRootNameAndKeepTheFirstCase) {
    const std::string longName(255, 'k');
    // 255 characters as Windows counts them, in UTF-16, though 510 bytes here.
    const std::string longCyrillic = Repeat("\xD0\x96", 255);
    emu::Registry registry;
    ImportRegText(registry,
                  "REGEDIT4\n"
                  "[HKEY_LOCAL_MACHINE\\Soft\\Mixed]\n[hklm\\SOFT\\MIXED\\]\n\"v\"=dword:1\n"
                  "[HKCU\\a]\n[HKEY_CLASSES_ROOT\\a]\n[HKU\\a]\n[hkey_current_config\\a]\n"
                  "[HKLM\\" + longName + "]\n[HKLM\\" + longCyrillic + "]\n",
                  "t.reg");
    emu::RegKey* mixed = registry.FindPath("HKLM\\soft\\mixed");
    ASSERT_NE(mixed, nullptr);
    EXPECT_EQ(emu::Registry::LongPath(*mixed), "HKEY_LOCAL_MACHINE\\Soft\\Mixed");
    EXPECT_EQ(mixed->Values().size(), 1u);
    EXPECT_TRUE(mixed->SubkeyCount() == 0);
    for (const char* path : {"HKEY_CURRENT_USER\\a", "HKCR\\a", "HKEY_USERS\\a", "HKCC\\a"}) {
        EXPECT_NE(registry.FindPath(path), nullptr) << path;
    }
    EXPECT_NE(registry.FindPath("HKLM\\" + longName), nullptr);
    EXPECT_NE(registry.FindPath("HKLM\\" + longCyrillic), nullptr);
}

TEST_F(RegFileTest, DeletesKeysAndValuesInFileOrder) {
    emu::Registry registry;
    ImportRegText(registry,
                  "REGEDIT4\n[HKLM\\Gone\\Deep\\Deeper]\n\"x\"=\"1\"\n"
                  "[HKLM\\Again\\Old]\n"
                  "[HKLM\\Kept]\n@=\"d\"\n\"a\"=\"1\"\n\"b\"=\"2\"\n",
                  "setup.reg");
    ImportRegText(registry,
                  "Windows Registry Editor Version 5.00\n\n"
                  "[-HKEY_LOCAL_MACHINE\\gone]\n"
                  "[-HKEY_LOCAL_MACHINE\\Never\\There]\n"
                  "[-HKLM\\Again]\n[HKLM\\Again]\n\"new\"=\"1\"\n"
                  "[HKLM\\Kept]\n\"A\"=-\n@=-\n\"absent\"=-\n",
                  "delete.reg");
    EXPECT_EQ(registry.FindPath("HKLM\\Gone"), nullptr);
    EXPECT_EQ(registry.FindPath("HKLM\\Never"), nullptr);
    ASSERT_NE(registry.FindPath("HKLM\\Again"), nullptr);
    EXPECT_TRUE(registry.FindPath("HKLM\\Again")->SubkeyCount() == 0);
    EXPECT_EQ(registry.FindPath("HKLM\\Again")->Values().size(), 1u);
    emu::RegKey* kept = registry.FindPath("HKLM\\Kept");
    ASSERT_NE(kept, nullptr);
    ASSERT_EQ(kept->Values().size(), 1u);
    EXPECT_EQ(kept->Values()[0].name, "b");
}

TEST_F(RegFileTest, ContinuationLinesJoinWithTheirLeadingBlanksSkipped) {
    for (const Encoding& encoding : kEncodings) {
        SCOPED_TRACE(encoding.name);
        emu::Registry registry;
        ImportRegText(registry,
                      encoding.encode("Windows Registry Editor Version 5.00\n\n[HKLM\\T]\n"
                                      "\"v\"=hex(7):61,00,\\\n  62,00,\\\n\t \t00,00   \n"
                                      "\"w\"=dword:2\n"),
                      "t.reg");
        emu::RegKey* key = registry.FindPath("HKLM\\T");
        ASSERT_NE(key, nullptr);
        ASSERT_EQ(key->Values().size(), 2u);
        EXPECT_EQ(key->Values()[0].data, (Bytes{0x61, 0, 0x62, 0, 0, 0}));
    }
}

TEST_F(RegFileTest, RefusesMalformedLinesNamingTheLineAndChangesNothing) {
    struct Row {
        const char* name;
        std::string text;  // the header is added unless the row is about it
        int line;
        const char* reason;
        bool utf16 = false;
    };
    const std::string before = "[HKLM\\Base]\n\"v\"=\"1\"\n";  // lines 2 and 3
    const Row rows[] = {
        {"no header", "[HKLM\\Base]\n", 1, "missing header"},
        {"other header", "Windows Registry Editor Version 4.00\n", 1, "missing header"},
        {"missing ]", before + "\n; note\n[HKLM\\x\n", 6, "without closing ']'"},
        {"bad hex", before + "\"b\"=hex:01,2g\n", 4, "bad hex byte '2g'"},
        {"hex of three digits", before + "\"b\"=hex:123\n", 4, "bad hex byte '123'"},
        {"bad hex on a continuation", before + "\"b\"=hex:01,\\\n  02,\\\n  x3\n", 6,
         "bad hex byte 'x3'"},
        {"unknown type word", before + "\"b\"=qword:01\n", 4, "unknown value type 'qword'"},
        {"dword too long", before + "\"b\"=dword:123456789\n", 4, "bad dword"},
        {"bad type number", before + "\"b\"=hex(zz):01\n", 4, "bad type in 'hex(zz)'"},
        {"key name too long", before + "[HKLM\\a\\" + std::string(256, 'k') + "]\n", 4,
         "longer than 255"},
        {"key name too long in UTF-16", before + "[HKLM\\a\\" + Repeat("\xD0\x96", 256) + "]\n",
         4, "longer than 255"},
        {"empty key name", before + "[HKLM\\a\\\\b]\n", 4, "empty key name"},
        {"unknown root", before + "[HKEY_NOWHERE\\a]\n", 4, "unknown root key 'HKEY_NOWHERE'"},
        {"root deleted", before + "[-HKLM]\n", 4, "cannot be deleted"},
        {"no =", before + "\"b\" \"x\"\n", 4, "without '='"},
        {"no data", before + "\"b\"=\n", 4, "without data"},
        {"value before any key", "\"b\"=\"x\"\n", 2, "outside a key"},
        {"value under a deleted key", before + "[-HKLM\\Base]\n\"b\"=\"x\"\n", 5, "outside a key"},
        {"unterminated text", before + "\"b\"=\"abc\n", 4, "without closing '\"'"},
        {"unterminated name", before + "\"b=x\n", 4, "value name without closing"},
        {"unknown escape", before + "\"b\"=\"a\\nb\"\n", 4, "unknown escape"},
        {"text after the string", before + "\"b\"=\"a\" x\n", 4, "after the closing"},
        {"stray line", before + "b=1\n", 4, "unexpected line"},
        {"counted in UTF-16", before + "\n\n[HKLM\\x\n", 6, "without closing ']'", true},
        {"nested 100,000 levels deep", before + "[HKLM" + Repeat("\\k", 100000) + "]\n", 4,
         "nested deeper than 510 levels"},
        {"one level too deep under HKCU", before + "[HKCU" + Repeat("\\k", 510) + "]\n", 4,
         "nested deeper than 509 levels"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        emu::Registry registry;
        ImportRegText(registry, "REGEDIT4\n[HKLM\\Base\\Sub]\n\"old\"=dword:7\n", "seed.reg");
        const std::string saved = registry.Serialize();
        std::string text = row.text;
        if (row.line > 1) text = std::string(kHeader5) + "\n" + text;
        if (row.utf16) text = Utf16File(text);
        try {
            ImportRegText(registry, text, "fixtures/x.reg");
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& e) {
            std::string message = e.what();
            EXPECT_EQ(message.rfind("fixtures/x.reg:" + std::to_string(row.line) + ": ", 0), 0u)
                << message;
            EXPECT_NE(message.find(row.reason), std::string::npos) << message;
            EXPECT_NE(message.find(": expected "), std::string::npos) << message;
        }
        EXPECT_EQ(registry.Serialize(), saved);
    }
}

TEST_F(RegFileTest, ExportsValuesAsTheRegistryEditorFormatsThem) {
    emu::Registry registry;
    emu::RegKey* key = registry.CreatePath("HKLM\\Soft\\Ex");
    key->SetValue({"", 1, Utf16z("def")});
    key->SetValue({"q\"b\\", 1, Utf16z("a\"b\\c\xC3\xA9")});
    key->SetValue({"d", 4, {0x2a, 0, 0, 0x80}});
    key->SetValue({"short dword", 4, {1, 2, 3}});
    key->SetValue({"no NUL", 1, {0x61, 0}});
    key->SetValue({"ends in U+0100", 1, {0x61, 0, 0, 1}});
    key->SetValue({"two NULs", 1, {0x61, 0, 0, 0, 0, 0}});
    key->SetValue({"wide", 1, {0xAC, 0x20, 0, 0}});
    key->SetValue({"lone surrogate", 1, {0, 0xD8, 0, 0}});
    key->SetValue({"line", 1, Utf16z("a\nb")});
    key->SetValue({"\xC3\xA9", 2, Utf16z("%x%")});
    key->SetValue({"empty", 3, {}});
    key->SetValue({"q", 0xb, {1, 0, 0, 0, 0, 0, 0, 0}});
    registry.CreatePath("hklm\\soft\\ex\\b\\c");
    registry.CreatePath("HKLM\\Soft\\Ex\\A");
    EXPECT_EQ(ExportRegText(registry, *key),
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Soft\\Ex]\n"
              "@=\"def\"\n"
              "\"q\\\"b\\\\\"=\"a\\\"b\\\\c\xC3\xA9\"\n"
              "\"d\"=dword:8000002a\n"
              "\"short dword\"=hex(4):01,02,03\n"
              "\"no NUL\"=hex(1):61,00\n"
              "\"ends in U+0100\"=hex(1):61,00,00,01\n"
              "\"two NULs\"=hex(1):61,00,00,00,00,00\n"
              "\"wide\"=\"\xE2\x82\xAC\"\n"
              "\"lone surrogate\"=hex(1):00,d8,00,00\n"
              "\"line\"=hex(1):61,00,0a,00,62,00,00,00\n"
              "\"\xC3\xA9\"=hex(2):25,00,78,00,25,00,00,00\n"
              "\"empty\"=hex:\n"
              "\"q\"=hex(b):01,00,00,00,00,00,00,00\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Soft\\Ex\\A]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Soft\\Ex\\b]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Soft\\Ex\\b\\c]\n");
}

TEST_F(RegFileTest, ExportWrapsHexDataAtEightyColumns) {
    struct Row {
        const char* name;
        std::string valueName;
        uint32_t type;
        size_t size;
        std::vector<size_t> bytesPerLine;
    };
    const Row rows[] = {
        {"binary", "Test", 3, 40, {22, 18}},
        {"first line filled exactly", "Test", 3, 22, {22}},
        {"one byte over", "Test", 3, 23, {22, 1}},
        {"typed, several lines", "Path", 2, 72, {21, 25, 25, 1}},
        {"default value", "", 3, 30, {24, 6}},
        {"name past the margin", std::string(80, 'n'), 3, 3, {1, 2}},
        {"columns are characters", "\xD0\x96\xD0\x96\xD0\x96\xD0\x96", 3, 40, {22, 18}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        emu::Registry registry;
        emu::RegKey* key = registry.CreatePath("HKLM\\W");
        Bytes data(row.size);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
        key->SetValue({row.valueName, row.type, data});
        std::istringstream text(ExportRegText(registry, *key));
        std::string line;
        for (int skip = 0; skip < 3; ++skip) std::getline(text, line);
        for (size_t i = 0; i < row.bytesPerLine.size(); ++i) {
            ASSERT_TRUE(std::getline(text, line));
            bool last = i + 1 == row.bytesPerLine.size();
            if (i > 0) {
                EXPECT_EQ(line.rfind("  ", 0), 0u) << line;
                EXPECT_LE(line.size(), 80u) << line;
            }
            EXPECT_EQ(line.back() == '\\', !last) << line;
            std::string bytes = line.substr(i == 0 ? line.find(':') + 1 : 2);
            size_t commas = std::count(bytes.begin(), bytes.end(), ',');
            EXPECT_EQ(last ? commas + 1 : commas, row.bytesPerLine[i]) << line;
        }
        EXPECT_FALSE(std::getline(text, line)) << line;
    }
}

TEST_F(RegFileTest, ExportedTextImportsBackToTheSameKeys) {
    InitMachine(dir_);
    {
        emu::RegistryTransaction transaction(dir_);
        emu::Registry& registry = transaction.registry();
        ImportRegText(registry,
                      Utf16File("Windows Registry Editor Version 5.00\n\n"
                                "[HKEY_LOCAL_MACHINE\\SYSTEM\\RT]\n@=\"\"\n"
                                "\"t\"=\"C:\\\\x \\\"y\\\"\"\n"
                                "\"m\"=hex(7):61,00,00,00,62,00\n\"d\"=dword:ffffffff\n"
                                "[HKLM\\SYSTEM\\RT\\Sub Key\\\xC3\xA9]\n"
                                "\"\xC3\xA9\\\\\\\"\"=hex(0):\n"),
                      "rt.reg");
        emu::RegKey* key = registry.FindPath("HKLM\\SYSTEM\\RT");
        ASSERT_NE(key, nullptr);
        Bytes big(300);
        for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
        key->SetValue({"big", 3, big});
        key->SetValue({"odd", 1, {0x61, 0, 0x62}});
        key->SetValue({"wide", 1, {0x3A, 0x26, 0, 0}});
        key->SetValue({"cr", 1, Utf16z("a\rb")});
        key->SetValue({"short dword", 4, {9}});
        key->SetValue({"type 0x12345678", 0x12345678, {1}});
        transaction.Commit();
    }
    std::string exported;
    {
        emu::RegistryTransaction transaction(dir_);
        emu::RegKey* key = transaction.registry().FindPath("HKEY_LOCAL_MACHINE\\system\\rt");
        ASSERT_NE(key, nullptr);
        exported = ExportRegText(transaction.registry(), *key);
    }
    emu::RegistryTransaction original(dir_);
    emu::Registry copy;
    ImportRegText(copy, exported, "exported.reg");
    ASSERT_NE(copy.FindPath("HKLM\\SYSTEM\\RT"), nullptr);
    EXPECT_EQ(Dump(*copy.FindPath("HKLM\\SYSTEM\\RT")),
              Dump(*original.registry().FindPath("HKLM\\SYSTEM\\RT")));
    EXPECT_EQ(ExportRegText(copy, *copy.FindPath("HKLM\\SYSTEM\\RT")), exported);
}

TEST_F(RegFileTest, InitMakesAnEmptyMachineOnceOnly) {
    fs::path root = dir_ / "new" / "machine";
    InitMachine(root);
    EXPECT_TRUE(emu::IsMachine(root));
    EXPECT_TRUE(fs::is_directory(root / "drive_c" / "windows" / "system32"));
    EXPECT_TRUE(fs::is_directory(root / "drive_c" / "windows" / "syswow64"));
    {
        emu::RegistryTransaction transaction(root);
        emu::Registry& registry = transaction.registry();
        for (const char* path : {"HKLM\\SYSTEM\\CurrentControlSet\\Services",
                                 "HKLM\\SYSTEM\\CurrentControlSet\\Enum",
                                 "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                                 "HKLM\\SOFTWARE"}) {
            EXPECT_NE(registry.FindPath(path), nullptr) << path;
        }
        registry.CreatePath("HKLM\\SOFTWARE\\Mine");
        transaction.Commit();
    }
    EXPECT_EQ(emu::ReadKeySddl(root, "HKLM\\SOFTWARE"),
              "O:BAG:SYD:PAI(A;CIIO;KA;;;CO)(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)(A;CI;KR;;;AC)"
              "(A;CI;KR;;;S-1-15-3-1024-1065365936-1281604716-3511738428-1654721687-432734479-"
              "3232135806-4053264122-3456934681)")
        << "Windows' own";
    std::ifstream in(root / "registry");
    std::string saved{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_THROW(InitMachine(root), std::runtime_error);
    std::ifstream again(root / "registry");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(again), std::istreambuf_iterator<char>()),
              saved);
}

}  // namespace
