// What `--version` prints for the command-line programs: the project's
// version, the git revision they were built from (when built from git) and
// the library file in use.
#pragma once

#include <string>

namespace velmar::tool {

// "velmar-dds 1.0.0\nrevision 1a2b3c4d5e6f\nlibrary /usr/lib/libVelmarDll.so.1\n".
// `library_function` is the address of a function of the shared library the
// program calls; the line names the file it was loaded from. Without one the
// line says that the program does not load the library.
std::string VersionText(const std::string& program, const void* library_function);

}  // namespace velmar::tool
