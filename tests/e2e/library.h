// The library as a caller sees it: loaded by path with dlopen, every function
// found by its exported name. The prototypes come from the public header, so
// a signature that drifted from it would not compile here.
#pragma once

#include <memory>
#include <string>

#include "VelmarDll.h"

namespace velmar::e2e {

class Library {
  public:
    // Loads the library at `path` as it is.
    static std::unique_ptr<Library> Load(const std::string& path);
    // Loads a private copy of the built library, so the process-wide state
    // starts at its load-time values whatever other tests did before.
    static std::unique_ptr<Library> LoadFresh();
    // Path of the built library, handed over by the build (or VELMAR_LIBRARY).
    static std::string BuiltPath();

    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    decltype(&::DDSSearch) Search = nullptr;
    decltype(&::DDSCheck) Check = nullptr;
    decltype(&::DDSSetFrequency) SetFrequency = nullptr;
    decltype(&::DDSGetCLK) GetCLK = nullptr;
    decltype(&::DDSGetDivNum) GetDivNum = nullptr;
    decltype(&::DDSSetDivNum) SetDivNum = nullptr;
    decltype(&::DDSDownload) Download = nullptr;
    decltype(&::DDSGetMeasure) GetMeasure = nullptr;
    decltype(&::DDSResetCounter) ResetCounter = nullptr;
    decltype(&::DDSSetSingleWave) SetSingleWave = nullptr;
    decltype(&::DDSSetTrigger) SetTrigger = nullptr;
    decltype(&::DDSSetDIOMode) SetDIOMode = nullptr;
    decltype(&::DDSGetDigitalIn) GetDigitalIn = nullptr;
    decltype(&::DDSSetDigitalOut) SetDigitalOut = nullptr;
    decltype(&::DDSSetPowerOnOutput) SetPowerOnOutput = nullptr;

  private:
    Library() = default;
    void* handle_ = nullptr;
    std::string copy_;  // removed on unload when the library was a private copy
};

}  // namespace velmar::e2e
