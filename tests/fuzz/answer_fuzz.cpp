// The console question. The first byte chooses the run (bit 0: unattended,
// bit 1: no messages); the rest is what the person types, as standard input
// of GetAnswer and as a text for FirstGraphic.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "files/files.h"
#include "main/settings.h"
#include "support.h"

namespace {

constexpr size_t kLongestLine = 1031;  // the answer buffer less its NUL

std::string inputPath;

bool IsGraphic(unsigned char c) { return c >= 0x21 && c <= 0x7E; }

bool StartsWithFolded(const char* text, const char* word) {
    for (; *word; ++text, ++word) {
        auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
        if (fold(static_cast<unsigned char>(*text)) != fold(static_cast<unsigned char>(*word)))
            return false;
    }
    return true;
}

struct Outcome {
    int answer;
    long consumed;  // bytes of input read when the answer is given
};

// Lines split at '\n', each judged as the text of its first 1031 bytes; the
// rest of a line never counts as another line.
Outcome Expected(const char* input, size_t size) {
    for (size_t start = 0; start < size;) {
        const char* end = static_cast<const char*>(std::memchr(input + start, '\n', size - start));
        size_t length = (end ? static_cast<size_t>(end - input) : size) - start;
        long next = static_cast<long>(end ? start + length + 1 : size);
        std::string line(input + start, std::min(length, kLongestLine));
        const char* p = line.c_str();
        while (*p && !IsGraphic(static_cast<unsigned char>(*p))) ++p;
        if (*p) {
            if (StartsWithFolded(p, pMessages[MSG_ANSWER_CANCEL])) return {ANSWER_CANCEL, next};
            if (StartsWithFolded(p, pMessages[MSG_ANSWER_YES])) return {ANSWER_YES, next};
            if (StartsWithFolded(p, pMessages[MSG_ANSWER_NO])) return {ANSWER_NO, next};
        }
        start = static_cast<size_t>(next);
    }
    return {ANSWER_NO, static_cast<long>(size)};
}

void CheckFirstGraphic(const char* input, size_t size) {
    // Exactly as long as the text, so that a read past its NUL is caught.
    std::unique_ptr<char[]> text(new char[size + 1]);
    std::memcpy(text.get(), input, size);
    text[size] = '\0';
    const char* found = FirstGraphic(text.get());
    size_t length = std::strlen(text.get());
    const char* first = text.get();
    while (*first && !IsGraphic(static_cast<unsigned char>(*first))) ++first;
    if (found != (*first ? first : nullptr)) {
        fuzz::Finding("FirstGraphic gave offset " +
                      (found ? std::to_string(found - text.get()) : std::string("null")) +
                      " in a text of " + std::to_string(length) + " bytes");
    }
}

void FeedStandardInput(const char* input, size_t size) {
    FILE* file = std::fopen(inputPath.c_str(), "wb");
    if (!file || std::fwrite(input, 1, size, file) != size || std::fclose(file) != 0)
        fuzz::Finding("cannot write " + inputPath);
    if (!std::freopen(inputPath.c_str(), "rb", stdin)) fuzz::Finding("cannot reopen stdin");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/vtn2-fuzz-answer-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0) fuzz::Finding("cannot make a temporary file");
    close(fd);
    inputPath = pattern;
    std::atexit([] { unlink(inputPath.c_str()); });
    fuzz::QuietStandardStreams();
    pMessages = szCatalogue;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    int bUnattendedFlag = data[0] & 1;
    bMessages = (data[0] & 2) ? 0 : 1;
    const char* input = reinterpret_cast<const char*>(data + 1);
    size_t inputSize = size - 1;

    CheckFirstGraphic(input, inputSize);

    FeedStandardInput(input, inputSize);
    int answer = GetAnswer(szCatalogue[MSG_COPY_ANYWAY], bUnattendedFlag);
    long consumed = std::ftell(stdin);
    if (answer != ANSWER_CANCEL && answer != ANSWER_YES && answer != ANSWER_NO)
        fuzz::Finding("GetAnswer returned " + std::to_string(answer));
    Outcome expected = bUnattendedFlag ? Outcome{ANSWER_YES, 0} : Expected(input, inputSize);
    if (answer != expected.answer || consumed != expected.consumed) {
        fuzz::Finding("GetAnswer answered " + std::to_string(answer) + " after reading " +
                      std::to_string(consumed) + " bytes; expected " +
                      std::to_string(expected.answer) + " after " +
                      std::to_string(expected.consumed));
    }
    return 0;
}
