#include "version.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include "VelmarDll.h"
#include "velmar_revision.h"

namespace velmar::tool {

std::string VersionText(const std::string& program, const void* library_function) {
    std::string text = program + " " + VELMAR_DLL_VERSION_STRING + "\n";
    const std::string revision = VELMAR_GIT_REVISION;
    text += "revision " +
            (revision.empty() ? std::string("unknown (not built from git)") : revision) + "\n";
    if (library_function == nullptr) return text + "library none: this program does not load it\n";
    Dl_info info{};
    if (dladdr(library_function, &info) == 0 || info.dli_fname == nullptr)
        return text + "library unknown: the loader does not say\n";
    // The loader names the file as it found it; a relative or symbolic path
    // is resolved so that the line says which file is really in use.
    char resolved[PATH_MAX];
    const char* file = realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
    return text + "library " + file + "\n";
}

}  // namespace velmar::tool
