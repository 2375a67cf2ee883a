// Library: LoadLibrary and friends over dlopen, with the mapping of Windows library names.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace win {

/// Where a Windows library name is looked for. Self: one of the system libraries this layer
/// stands in for (kernel32, ws2_32, ...), that is this library itself. Otherwise the files to
/// try in order: "name.dll" (any letter case, ".dll" optional) gives lib<name>.so in
/// ExeFolder, then lib<name>.so and lib<name>.so.<major version of this layer> on the library
/// search path (the installed libraries of this layer carry that version); a name with a '/' is
/// used as is.
struct TLibraryLookup {
    bool Self = false;
    std::vector<std::string> Candidates;
};

/// The look-up for Name (UTF-8) from a program in ExeFolder.
TLibraryLookup LookupLibrary(std::string_view Name, std::string_view ExeFolder);

/// The folder of the running program (from /proc/self/exe), without a trailing '/'.
std::string ExecutableFolder();

} // namespace win
