// The faults file and its globs. Up to the first NUL the input is a faults
// file, read line by line as the machine reads it; after it, a subject. The
// file's text is also taken whole as a glob and matched against the subject,
// and so is every rule's pattern, each compared with a plain matcher.
#include <cstdint>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/emu/machine.h"
#include "support.h"

namespace {

// Whether the whole of the text matches, by dynamic programming over every
// pair of positions: slow, and plainly right.
bool PlainGlobMatch(std::string_view pattern, std::string_view text) {
    auto fold = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
    // matches[t]: the pattern so far matches the first t characters of the text.
    std::vector<bool> matches(text.size() + 1, false);
    matches[0] = true;
    for (char p : pattern) {
        std::vector<bool> next(text.size() + 1, false);
        for (size_t t = 0; t <= text.size(); ++t) {
            if (p == '*') {
                next[t] = matches[t] || (t > 0 && next[t - 1]);
            } else if (t > 0) {
                next[t] = matches[t - 1] && (p == '?' || fold(p) == fold(text[t - 1]));
            }
        }
        matches.swap(next);
    }
    return matches[text.size()];
}

void CheckGlob(std::string_view pattern, std::string_view subject) {
    bool matched = emu::GlobMatch(pattern, subject);
    // Past this the plain matcher would slow the run more than it finds.
    if (pattern.size() * (subject.size() + 1) > (1u << 18)) return;
    if (matched != PlainGlobMatch(pattern, subject)) {
        fuzz::Finding("GlobMatch(\"" + std::string(pattern) + "\", \"" + std::string(subject) +
                      "\") gave " + (matched ? "true" : "false"));
    }
}

bool HasBlank(const std::string& text) { return text.find_first_of(" \t") != std::string::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t nul = input.find('\0');
    std::string_view faults = input.substr(0, nul);
    std::string_view subject = nul == std::string_view::npos ? "" : input.substr(nul + 1);

    std::istringstream lines{std::string(faults)};
    for (std::string line; std::getline(lines, line);) {
        emu::FaultRule rule;
        try {
            if (!emu::ParseRule(line, rule)) continue;
        } catch (const std::invalid_argument&) {
            continue;  // reported on standard error and ignored, as it should be
        }
        bool trimmed = !rule.pattern.empty() && rule.pattern.front() != ' ' &&
                       rule.pattern.front() != '\t' && rule.pattern.back() != ' ' &&
                       rule.pattern.back() != '\t';
        // A '#' may be part of a pattern, as in every device path, but never
        // starts a rule: such a line is a comment.
        if (rule.function.empty() || HasBlank(rule.function) || !trimmed || rule.error == 0 ||
            rule.function[0] == '#') {
            fuzz::Finding("rule read as function '" + rule.function + "' pattern '" +
                          rule.pattern + "' error " + std::to_string(rule.error));
        }
        CheckGlob(rule.pattern, subject);
    }
    CheckGlob(faults, subject);
    return 0;
}
