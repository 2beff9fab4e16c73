#include "library.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace velmar::e2e {
namespace {

template <typename Fn>
void Bind(void* handle, const char* name, Fn& fn) {
    void* sym = dlsym(handle, name);
    if (sym == nullptr) throw std::runtime_error(std::string("dlsym ") + name + " failed");
    fn = reinterpret_cast<Fn>(sym);
}

}  // namespace

// VELMAR_LIBRARY points the suite at another build of the library.
std::string Library::BuiltPath() {
    const char* other = getenv("VELMAR_LIBRARY");
    return other != nullptr && *other != '\0' ? other : VELMAR_LIBRARY_PATH;
}

std::unique_ptr<Library> Library::Load(const std::string& path) {
    std::unique_ptr<Library> lib(new Library);
    lib->handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib->handle_ == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    Bind(lib->handle_, "DDSSearch", lib->Search);
    Bind(lib->handle_, "DDSCheck", lib->Check);
    Bind(lib->handle_, "DDSSetFrequency", lib->SetFrequency);
    Bind(lib->handle_, "DDSGetCLK", lib->GetCLK);
    Bind(lib->handle_, "DDSGetDivNum", lib->GetDivNum);
    Bind(lib->handle_, "DDSSetDivNum", lib->SetDivNum);
    Bind(lib->handle_, "DDSDownload", lib->Download);
    Bind(lib->handle_, "DDSGetMeasure", lib->GetMeasure);
    Bind(lib->handle_, "DDSResetCounter", lib->ResetCounter);
    Bind(lib->handle_, "DDSSetSingleWave", lib->SetSingleWave);
    Bind(lib->handle_, "DDSSetTrigger", lib->SetTrigger);
    Bind(lib->handle_, "DDSSetDIOMode", lib->SetDIOMode);
    Bind(lib->handle_, "DDSGetDigitalIn", lib->GetDigitalIn);
    Bind(lib->handle_, "DDSSetDigitalOut", lib->SetDigitalOut);
    Bind(lib->handle_, "DDSSetPowerOnOutput", lib->SetPowerOnOutput);
    return lib;
}

std::unique_ptr<Library> Library::LoadFresh() {
    // The loader keeps one instance per file, so a fresh instance needs a
    // file of its own.
    char tmpl[] = "/tmp/velmar-lib-XXXXXX";
    const int fd = mkstemp(tmpl);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    close(fd);
    std::unique_ptr<Library> lib;
    try {
        std::filesystem::copy_file(BuiltPath(), tmpl,
                                   std::filesystem::copy_options::overwrite_existing);
        lib = Load(tmpl);
    } catch (...) {
        std::filesystem::remove(tmpl);
        throw;
    }
    lib->copy_ = tmpl;
    return lib;
}

Library::~Library() {
    if (handle_ != nullptr) dlclose(handle_);
    if (!copy_.empty()) {
        std::error_code ec;
        std::filesystem::remove(copy_, ec);
    }
}

}  // namespace velmar::e2e
