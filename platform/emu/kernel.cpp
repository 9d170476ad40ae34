// Kernel and C runtime services of the emulated machine.
#include "../platform.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "ascii.h"
#include "machine.h"

namespace {

constexpr char kSystemDirectory[] = "C:\\windows\\system32";

}  // namespace

using emu::Fail;

DWORD GetLastError(void) { return emu::LastErrorCode(); }

void SetLastError(DWORD dwErrCode) { emu::SetLastErrorCode(dwErrCode); }

UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
    if (uint32_t error = emu::Enter("GetSystemDirectoryA")) return Fail<UINT>(error, 0);
    if (!emu::MachineRoot()) return Fail<UINT>(ERROR_PATH_NOT_FOUND, 0);
    const UINT length = sizeof kSystemDirectory - 1;
    if (!lpBuffer || uSize <= length) return length + 1;
    std::memcpy(lpBuffer, kSystemDirectory, length + 1);
    return length;
}

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    if (uint32_t error = emu::Enter("LocalAlloc")) return Fail<HLOCAL>(error, nullptr);
    void* block = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, uBytes ? uBytes : 1)
                                           : std::malloc(uBytes ? uBytes : 1);
    if (!block) return Fail<HLOCAL>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    emu::RegisterBlock(emu::Kind::LocalBlock, block);
    return block;
}

HLOCAL LocalFree(HLOCAL hMem) {
    uint32_t error = emu::Enter("LocalFree");
    if (!hMem) return nullptr;
    const uintptr_t handle = reinterpret_cast<uintptr_t>(hMem);
    if (!emu::ReleaseBlock(hMem, emu::Kind::LocalBlock)) return Fail(ERROR_INVALID_HANDLE, hMem);
    // A release that a fault fails still releases: the block is gone either way.
    return error ? Fail(error, reinterpret_cast<HLOCAL>(handle)) : nullptr;
}

void* Vtn2Malloc(size_t size) {
    if (uint32_t error = emu::Enter("malloc")) return Fail<void*>(error, nullptr);
    void* block = std::malloc(size ? size : 1);
    if (block) emu::RegisterBlock(emu::Kind::CBlock, block);
    return block;
}

void Vtn2Free(void* block) {
    emu::Enter("free");
    // A block it never handed out, or handed out and took back already, is
    // named as a block never released is, and left alone.
    if (block && !emu::ReleaseBlock(block, emu::Kind::CBlock))
        std::fprintf(stderr, "vtn2: free of a block not handed out: %p\n", block);
}

// Whatever a kernel handle holds (a file's lock, a process) goes with its object.
BOOL CloseHandle(HANDLE hObject) {
    uint32_t error = emu::Enter("CloseHandle");
    if (!emu::Release(hObject, emu::Kind::Device) && !emu::Release(hObject, emu::Kind::File) &&
        !emu::Release(hObject, emu::Kind::Process))
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    return error ? Fail(error, FALSE) : TRUE;
}

// The standard handles are pseudo handles here: nothing to release.
HANDLE GetStdHandle(DWORD nStdHandle) {
    switch (nStdHandle) {
        case STD_INPUT_HANDLE: return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x10));
        case STD_OUTPUT_HANDLE: return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x14));
        default: return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
}

BOOL GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode) {
    int fd;
    if (hConsoleHandle == GetStdHandle(STD_INPUT_HANDLE)) {
        fd = STDIN_FILENO;
    } else if (hConsoleHandle == GetStdHandle(STD_OUTPUT_HANDLE)) {
        fd = STDOUT_FILENO;
    } else {
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    if (!isatty(fd)) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (lpMode) *lpMode = 0;
    return TRUE;
}

int lstrlenA(LPCSTR lpString) { return lpString ? static_cast<int>(std::strlen(lpString)) : 0; }

// One key, without echo and without waiting for Enter, as a console gives it.
int _getch(void) {
    std::fflush(stdout);
    unsigned char key = 0;
    termios saved{};
    bool console = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (console) {
        termios raw = saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    ssize_t got = read(STDIN_FILENO, &key, 1);
    if (console) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    return got == 1 ? key : EOF;
}

void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext) {
    auto copy = [](char* out, size_t capacity, const char* from, size_t length) {
        if (!out) return;
        if (length > capacity - 1) length = capacity - 1;
        std::memcpy(out, from, length);
        out[length] = '\0';
    };
    const char* p = path;
    size_t driveLength = (p[0] && p[1] == ':') ? 2 : 0;
    copy(drive, _MAX_DRIVE, p, driveLength);
    p += driveLength;
    const char* afterDir = p;
    const char* dot = nullptr;
    for (const char* q = p; *q; ++q) {
        if (*q == '\\' || *q == '/') {
            afterDir = q + 1;
            dot = nullptr;
        } else if (*q == '.') {
            dot = q;
        }
    }
    copy(dir, _MAX_DIR, p, static_cast<size_t>(afterDir - p));
    const char* end = afterDir + std::strlen(afterDir);
    const char* nameEnd = dot ? dot : end;
    copy(fname, _MAX_FNAME, afterDir, static_cast<size_t>(nameEnd - afterDir));
    copy(ext, _MAX_EXT, nameEnd, static_cast<size_t>(end - nameEnd));
}

int _getdrive(void) { return 3; }  // C:

char* _strupr(char* str) {
    for (char* p = str; *p; ++p) *p = emu::AsciiUpper(*p);
    return str;
}

int _strnicmp(const char* a, const char* b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        // Lower case, as Windows compares: '_' sorts before the letters.
        int ca = static_cast<unsigned char>(emu::AsciiLower(a[i]));
        int cb = static_cast<unsigned char>(emu::AsciiLower(b[i]));
        if (ca != cb || ca == 0) return ca - cb;
    }
    return 0;
}

int _stricmp(const char* a, const char* b) { return _strnicmp(a, b, static_cast<size_t>(-1)); }

// The classes of the C locale, which the Installer never leaves.
int _isctype(int c, int mask) {
    if (c < 0 || c > 0x7F) return 0;
    int bits = 0;
    if (c >= 'A' && c <= 'Z') bits |= _UPPER | 0x100;
    if (c >= 'a' && c <= 'z') bits |= _LOWER | 0x100;
    if (c >= '0' && c <= '9') bits |= _DIGIT | _HEX;
    if ((c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')) bits |= _HEX;
    if ((c >= 0x09 && c <= 0x0D) || c == ' ') bits |= _SPACE;
    if (c == ' ') bits |= _BLANK;
    if (c < 0x20 || c == 0x7F) bits |= _CONTROL;
    if (c > 0x20 && c < 0x7F && !(bits & (_UPPER | _LOWER | _DIGIT))) bits |= _PUNCT;
    return bits & mask;
}
