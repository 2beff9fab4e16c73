#include "version.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#endif

#include "VelmarDll.h"
#include "velmar_revision.h"

namespace velmar::tool {
namespace {

// The file of the library that holds `function`, as the loader found it, or
// empty when the loader does not say.
std::string LibraryFile(const void* function) {
#if defined(_WIN32)
    HMODULE module = nullptr;
    wchar_t wide[MAX_PATH];
    const DWORD flags =
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    const DWORD length = GetModuleHandleExW(flags, static_cast<LPCWSTR>(function), &module)
                             ? GetModuleFileNameW(module, wide, MAX_PATH)
                             : 0;
    if (length == 0 || length >= MAX_PATH) return {};
    char path[4 * MAX_PATH];
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), path,
                                          sizeof(path), nullptr, nullptr);
    return bytes <= 0 ? std::string() : std::string(path, static_cast<size_t>(bytes));
#else
    Dl_info info{};
    if (dladdr(function, &info) == 0 || info.dli_fname == nullptr) return {};
    // The loader names the file as it found it; a relative or symbolic path
    // is resolved so that the line says which file is really in use.
    char resolved[PATH_MAX];
    return realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
#endif
}

}  // namespace

std::string VersionText(const std::string& program, const void* library_function) {
    std::string text = program + " " + VELMAR_DLL_VERSION_STRING + "\n";
    const std::string revision = VELMAR_GIT_REVISION;
    text += "revision " +
            (revision.empty() ? std::string("unknown (not built from git)") : revision) + "\n";
    if (library_function == nullptr) return text + "library none: this program does not load it\n";
    const std::string file = LibraryFile(library_function);
    if (file.empty()) return text + "library unknown: the loader does not say\n";
    return text + "library " + file + "\n";
}

}  // namespace velmar::tool
