// Linux has no driver for the instrument: instruments are reached through
// Unix-domain SEQPACKET sockets in a device directory, one socket per
// instrument, served by the simulated instrument or any other program that
// speaks the protocol (a USB bridge, a test peer).
#pragma once

#include <string>

namespace velmar {

// $VELMAR_DDS_DEVICE_DIR if set; else $XDG_RUNTIME_DIR/velmar-dds if
// XDG_RUNTIME_DIR is set; else /tmp/velmar-dds-<uid>. Looked up afresh on
// every call, so a caller can switch directories between searches.
std::string DeviceDirectory();

}  // namespace velmar
