// The device directory and the instruments in it, as the library, the
// simulated instrument and the command-line tool all find them.

#include "device/device_directory.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace velmar {

std::string DeviceDirectory() {
    // An empty variable counts as unset: "VELMAR_DDS_DEVICE_DIR=" in a shell
    // means "no particular directory", not the current one.
    const char* dir = std::getenv("VELMAR_DDS_DEVICE_DIR");
    if (dir != nullptr && *dir != '\0') return dir;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != '\0') return std::string(runtime) + "/velmar-dds";
    return "/tmp/velmar-dds-" + std::to_string(static_cast<unsigned long>(getuid()));
}

bool ListDeviceSockets(const std::string& dir, std::vector<std::string>* paths) {
    paths->clear();
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) return false;
    std::vector<std::string> names;
    while (const dirent* entry = readdir(listing)) {
        const std::string path = dir + "/" + entry->d_name;
        struct stat info {};
        if (stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode))
            names.push_back(entry->d_name);
    }
    closedir(listing);
    // Ascending byte order of the names fixes the device indices.
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) paths->push_back(dir + "/" + name);
    return true;
}

}  // namespace velmar
