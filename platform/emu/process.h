// What the emulated machine's process calls share with tests.
#ifndef VTN2_EMU_PROCESS_H
#define VTN2_EMU_PROCESS_H

#include <string>
#include <string_view>
#include <vector>

namespace emu {

// A command line split the way a Windows program's C runtime splits it:
// element 0 is the program (quotes toggle, backslashes are plain), the rest
// the arguments (blanks and tabs separate outside quotes; 2n backslashes
// before a quote give n and the quote toggles, 2n+1 give n and a literal
// quote; "" inside quotes is a literal quote).
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

}  // namespace emu

#endif
