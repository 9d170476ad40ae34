#include "store_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <system_error>

#include "hex.h"

namespace emu {

namespace fs = std::filesystem;

void ReportCorrupt(const StoreCorrupt& error) {
    static std::mutex lock;
    static std::set<std::string> told;
    std::lock_guard<std::mutex> hold(lock);
    if (told.insert(error.what()).second)
        std::fprintf(stderr, "vtn2: %s (the store is corrupt: mend it or make the machine again)\n",
                     error.what());
}

std::string PercentEncode(std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c <= 0x20 || c == '%' || c >= 0x7F) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool PercentDecode(std::string_view text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        int hi = HexDigit(text[i + 1]), lo = HexDigit(text[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

void Fd::Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

void WriteAt(int fd, std::string_view text, off_t at, const fs::path& path) {
    while (!text.empty()) {
        ssize_t put = ::pwrite(fd, text.data(), text.size(), at);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) throw std::runtime_error("cannot write " + path.string() + ": " + std::strerror(errno));
        text.remove_prefix(static_cast<size_t>(put));
        at += put;
    }
}

std::string ReadRange(int fd, off_t from, off_t to, const fs::path& path) {
    std::string text(static_cast<size_t>(to - from), '\0');
    size_t done = 0;
    while (done < text.size()) {
        ssize_t got = ::pread(fd, text.data() + done, text.size() - done, from + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw std::runtime_error("cannot read " + path.string() + ": " + std::strerror(errno));
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    text.resize(done);
    return text;
}

Fd ReplaceStore(const fs::path& store, std::string_view text) {
    fs::path temp = store;
    temp += ".tmp." + std::to_string(::getpid());
    Fd fd(::open(temp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) throw std::runtime_error("cannot write " + temp.string());
    try {
        WriteAt(fd.get(), text, 0, temp);
        if (::rename(temp.c_str(), store.c_str()) != 0)
            throw fs::filesystem_error("cannot replace", temp, store,
                                       std::error_code(errno, std::generic_category()));
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
    return fd;
}

}  // namespace emu
