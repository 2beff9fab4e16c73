// The front panel's files, compiled into the server by embed_files.cmake
// from scpi/web/, so that an installed server needs no web directory.
#pragma once

#include <cstddef>
#include <vector>

namespace velmar::scpi {

struct WebFile {
    const char* name;  // "instrument.js"
    const char* data;
    size_t size;
};

const std::vector<WebFile>& WebFiles();

}  // namespace velmar::scpi
