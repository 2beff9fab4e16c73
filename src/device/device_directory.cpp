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

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

bool NaturalLess(const std::string& a, const std::string& b) {
    // Negative: a first; positive: b first. Taken from the first run of
    // digits whose zero padding differs, once everything else is equal.
    int padding_order = 0;
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (!IsDigit(a[i]) || !IsDigit(b[j])) {
            // The digits lie together in the byte order, so a byte that is no
            // digit sorts the same against any run of them.
            if (a[i] != b[j])
                return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i;
            ++j;
            continue;
        }
        const size_t a_start = i;
        const size_t b_start = j;
        while (i < a.size() && IsDigit(a[i])) ++i;
        while (j < b.size() && IsDigit(b[j])) ++j;
        // Without leading zeros the longer run is the larger number, and runs
        // of one length compare as their digits do: no run overflows.
        size_t a_first = a_start;
        size_t b_first = b_start;
        while (a_first + 1 < i && a[a_first] == '0') ++a_first;
        while (b_first + 1 < j && b[b_first] == '0') ++b_first;
        if (i - a_first != j - b_first) return i - a_first < j - b_first;
        const int digits = a.compare(a_first, i - a_first, b, b_first, j - b_first);
        if (digits != 0) return digits < 0;
        if (padding_order == 0 && i - a_start != j - b_start)
            padding_order = i - a_start < j - b_start ? -1 : 1;
    }
    if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
    return padding_order < 0;
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
    std::sort(names.begin(), names.end(), NaturalLess);
    for (const std::string& name : names) paths->push_back(dir + "/" + name);
    return true;
}

}  // namespace velmar
