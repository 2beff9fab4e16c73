// --version on Windows, where the command-line tool's version.cpp (which
// asks the dynamic loader of Linux) is not built: the same three lines, the
// library's file named by the module that holds the function.

#include <windows.h>

#include <string>

#include "VelmarDll.h"
#include "velmar_revision.h"
#include "version.h"

namespace velmar::tool {

std::string VersionText(const std::string& program, const void* library_function) {
    std::string text = program + " " + VELMAR_DLL_VERSION_STRING + "\n";
    const std::string revision = VELMAR_GIT_REVISION;
    text += "revision " +
            (revision.empty() ? std::string("unknown (not built from git)") : revision) + "\n";
    if (library_function == nullptr) return text + "library none: this program does not load it\n";
    HMODULE module = nullptr;
    wchar_t wide[MAX_PATH];
    const DWORD flags =
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    const DWORD length = GetModuleHandleExW(flags, static_cast<LPCWSTR>(library_function), &module)
                             ? GetModuleFileNameW(module, wide, MAX_PATH)
                             : 0;
    if (length == 0 || length >= MAX_PATH)
        return text + "library unknown: the loader does not say\n";
    char path[4 * MAX_PATH];
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), path,
                                          sizeof(path), nullptr, nullptr);
    if (bytes <= 0) return text + "library unknown: the loader does not say\n";
    return text + "library " + std::string(path, static_cast<size_t>(bytes)) + "\n";
}

}  // namespace velmar::tool
