// What tests may ask of the emulated machine beyond the Windows calls.
#ifndef VTN2_EMULATION_H
#define VTN2_EMULATION_H

#include <cstddef>
#include <string>
#include <vector>

namespace emu {

// Handles, keys, device sets and blocks handed out and not yet released.
size_t OutstandingResources();
// One line per outstanding resource, for a failing test's message.
std::string DescribeOutstanding();

// The emulated calls made so far in this process, each as "Function subject"
// (or the bare name for a call without a subject), oldest first.
std::vector<std::string> CallLog();
void ClearCallLog();

}  // namespace emu

#endif
