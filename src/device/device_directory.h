// Linux has no driver for the instrument: instruments are reached through
// Unix-domain SEQPACKET sockets in a device directory, one socket per
// instrument, served by the simulated instrument or any other program that
// speaks the protocol (a USB bridge, a test peer).
#pragma once

#include <string>
#include <vector>

namespace velmar {

// $VELMAR_DDS_DEVICE_DIR if set and not empty; else $XDG_RUNTIME_DIR/velmar-dds
// if XDG_RUNTIME_DIR is set and not empty; else /tmp/velmar-dds-<uid>. Looked
// up afresh on every call, so a caller can switch directories between searches.
std::string DeviceDirectory();

// The sockets in `dir`, one per instrument, in device index order (ascending
// byte order of the names); other entries are left out. False, with errno
// telling why, when the directory cannot be opened.
bool ListDeviceSockets(const std::string& dir, std::vector<std::string>* paths);

}  // namespace velmar
