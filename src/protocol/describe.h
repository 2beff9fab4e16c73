// The wire format in words: how a message or an answer reads to a person.
// One wording for everyone who shows the instrument's traffic: the library's
// trace, the simulated instrument's trace and the command-line tool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/protocol.h"

namespace velmar {

// "0x0018"
std::string Hex16(uint16_t word);

// "a0 18 00 00 00 30 00": at most `max_bytes` bytes, then " ..." if more.
std::string HexBytes(const uint8_t* data, size_t size, size_t max_bytes = 16);

// "word 0x0018 [trigger enable, trigger option]": a control word and the
// names of its bits.
std::string DescribeControlWord(uint16_t word);

// A message the host sends, as the instrument tells messages apart (by
// length, then code): "control: word 0x0000 [none] dio-out 0x0000 divider 48",
// "length: word 0x0822, 2083 samples", "sample block", "power-on: store
// waveform", ... An unknown message reads "unknown: N bytes".
std::string DescribeHostMessage(const uint8_t* data, size_t size);

// "report: digital in 0x1234, count 30001, period 4000"
std::string DescribeStatusReport(const StatusReport& report);

}  // namespace velmar
