// Stands in, in tests, for the adapter software's programs: copied under one
// of their names, it does to the machine what the Installer relies on that
// program to do, and logs every call, so that tests see what was run.
//
//   vlqwdzsv.exe -remove        deletes its own service key, Services\vlqwdzsv,
//                               and leaves the older Services\vlqwdzex (and
//                               its running file) for the Installer to purge
//   VLQSPSVC.EXE -remove        deletes Services\vlqspsvc, VLQSPREM.EXE and
//                               VLQSPW.DLL in the system directory
//   VLQSPSVC.EXE -install -VTN2 registers Services\vlqspsvc
//   NAME -service               runs, as a service does, until it is ended
//
// Log: one line "NAME ARGS" per call, appended to the file that
// VTN2_STANDIN_LOG names, else to C:\windows\Temp\vtn2-standin.log, once
// the call's work is done.
// standin.cfg beside the program may say "run-ms N" (run that long before
// exiting), "until PATH" (run until PATH exists: a test ends it so),
// "exit N" (the exit code) and "hold PATH" (keep PATH open while
// running, reading it and sharing nothing), one a line. "hold RIGHTS/SHARED
// PATH" holds it as a program of a server does: RIGHTS are what it does and
// SHARED what it shares, each any of r (read), w (write) and d (delete), or
// "-" for none; "hold r/rwd PATH" is a scanner's read, sharing all.
#include <string>
#include <vector>

#include "../../platform/platform.h"

namespace {

constexpr char kServices[] = "SYSTEM\\CurrentControlSet\\Services\\";

struct Held {
    std::string path;
    DWORD access = GENERIC_READ;
    DWORD share = 0;
};

struct Settings {
    DWORD runMs = 0;
    std::string until;
    DWORD exitCode = 0;
    std::vector<Held> held;
};

// "RIGHTS/SHARED PATH", or the PATH alone.
Held HeldFile(const std::string& text) {
    Held held{text};
    size_t slash = text.find('/'), blank = text.find(' ');
    if (slash == std::string::npos || blank == std::string::npos || slash > blank ||
        text.find_first_not_of("rwd-/") < blank)
        return held;
    held.path = text.substr(text.find_first_not_of(' ', blank));
    held.access = 0;
    for (size_t i = 0; i < slash; ++i) {
        if (text[i] == 'r') held.access |= GENERIC_READ;
        if (text[i] == 'w') held.access |= GENERIC_WRITE;
        if (text[i] == 'd') held.access |= DELETE;
    }
    for (size_t i = slash + 1; i < blank; ++i) {
        if (text[i] == 'r') held.share |= FILE_SHARE_READ;
        if (text[i] == 'w') held.share |= FILE_SHARE_WRITE;
        if (text[i] == 'd') held.share |= FILE_SHARE_DELETE;
    }
    return held;
}

std::string Directory(const std::string& path) {
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string FileName(const std::string& path) {
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string SystemDirectory() {
    char buffer[MAX_PATH];
    UINT length = GetSystemDirectoryA(buffer, sizeof buffer);
    return length > 0 && length < sizeof buffer ? std::string(buffer, length)
                                                : std::string("C:\\windows\\system32");
}

bool ReadAll(const std::string& path, std::string& text) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) text.append(chunk, got);
    CloseHandle(file);
    return true;
}

Settings ReadSettings(const std::string& path) {
    Settings settings;
    std::string text;
    if (!ReadAll(path, text)) return settings;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        size_t blank = line.find(' ');
        if (blank == std::string::npos) continue;
        std::string word = line.substr(0, blank);
        std::string rest = line.substr(line.find_first_not_of(' ', blank));
        DWORD number = static_cast<DWORD>(std::strtoul(rest.c_str(), nullptr, 0));
        if (word == "run-ms") settings.runMs = number;
        if (word == "until") settings.until = rest;
        if (word == "exit") settings.exitCode = number;
        if (word == "hold") settings.held.push_back(HeldFile(rest));
    }
    return settings;
}

// Appends by reading to the end first: the calls at hand have no seek. Other
// stand-ins may be logging at the same moment, hence the retries.
void AppendLog(const std::string& line) {
    const char* named = std::getenv("VTN2_STANDIN_LOG");
    std::string path;
    if (named && *named) {
        path = named;
    } else {
        std::string temp = Directory(SystemDirectory()) + "Temp";
        CreateDirectoryA(temp.c_str(), nullptr);
        path = temp + "\\vtn2-standin.log";
    }
    HANDLE log = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 2000; ++attempt) {
        log = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (log != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) break;
        Sleep(10);
    }
    if (log == INVALID_HANDLE_VALUE) return;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(log, chunk, sizeof chunk, &got, nullptr) && got > 0) {
    }
    std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(log, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(log);
}

// Deletes a key and everything under it; statuses are ignored, as an
// uninstaller ignores them.
void DeleteTree(HKEY parent, const std::string& name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(parent, name.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        std::vector<std::string> subkeys;
        char subkey[256];
        for (DWORD index = 0;; ++index) {
            DWORD size = sizeof subkey;
            if (RegEnumKeyExA(key, index, subkey, &size, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            subkeys.push_back(subkey);
        }
        for (const std::string& sub : subkeys) DeleteTree(key, sub);
        RegCloseKey(key);
    }
    RegDeleteKeyA(parent, name.c_str());
}

void RegisterService(const std::string& self) {
    HKEY key = nullptr;
    std::string path = std::string(kServices) + "vlqspsvc";
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    // Started on demand only: a restarted test machine must not start it.
    const DWORD start = 3, type = 16;
    RegSetValueExA(key, "ImagePath", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(self.c_str()),
                   static_cast<DWORD>(self.size() + 1));
    RegSetValueExA(key, "Start", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&start), sizeof start);
    RegSetValueExA(key, "Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), sizeof type);
    RegCloseKey(key);
}

bool HasArgument(int argc, char* argv[], const char* wanted) {
    for (int i = 1; i < argc; ++i) {
        if (_stricmp(argv[i], wanted) == 0) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char* argv[]) {
    char buffer[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    std::string self = length > 0 && length < sizeof buffer ? std::string(buffer, length)
                                                            : std::string(argc > 0 ? argv[0] : "");
    std::string name = FileName(self);
    std::string line = name;
    for (char& c : line) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (int i = 1; i < argc; ++i) line += std::string(" ") + argv[i];

    Settings settings = ReadSettings(Directory(self) + "standin.cfg");
    std::vector<HANDLE> held;
    for (const Held& hold : settings.held) {
        HANDLE file = CreateFileA(hold.path.c_str(), hold.access, hold.share, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) held.push_back(file);
    }

    const bool remove = HasArgument(argc, argv, "-remove");
    if (_stricmp(name.c_str(), "vlqwdzsv.exe") == 0 && remove) {
        DeleteTree(HKEY_LOCAL_MACHINE, std::string(kServices) + "vlqwdzsv");
    } else if (_stricmp(name.c_str(), "VLQSPSVC.EXE") == 0 && remove) {
        DeleteTree(HKEY_LOCAL_MACHINE, std::string(kServices) + "vlqspsvc");
        DeleteFileA((SystemDirectory() + "\\VLQSPREM.EXE").c_str());
        DeleteFileA((SystemDirectory() + "\\VLQSPW.DLL").c_str());
    } else if (_stricmp(name.c_str(), "VLQSPSVC.EXE") == 0 && HasArgument(argc, argv, "-install") &&
               HasArgument(argc, argv, "-VTN2")) {
        RegisterService(self);
    }
    // Logged once its work is done and its files are held: a test that sees
    // the line may go on.
    AppendLog(line);

    if (HasArgument(argc, argv, "-service")) Sleep(INFINITE);
    if (settings.runMs) Sleep(settings.runMs);
    while (!settings.until.empty() &&
           GetFileAttributesA(settings.until.c_str()) == INVALID_FILE_ATTRIBUTES)
        Sleep(10);
    for (HANDLE file : held) CloseHandle(file);
    return static_cast<int>(settings.exitCode);
}
