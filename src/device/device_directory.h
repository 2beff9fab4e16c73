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

// The sockets in `dir`, one per instrument, in device index order (natural
// order of the names, see NaturalLess); other entries are left out. False,
// with errno telling why, when the directory cannot be opened.
bool ListDeviceSockets(const std::string& dir, std::vector<std::string>* paths);

// Natural order of names, so that the simulator's dds2 is index 2 beside a
// dds10: runs of decimal digits compare by their value (of any length), the
// rest byte by byte, and a name that is a prefix of another comes first
// (dds before dds0). Names that differ only in leading zeros are put fewer
// zeros first, at the first run where they differ (7 before 07 before 007),
// so that the order is total and every listing of one directory the same.
bool NaturalLess(const std::string& a, const std::string& b);

}  // namespace velmar
