// The SCPI server's input side fed arbitrary bytes, split anywhere: the
// message framer, the parser into program units and the parameter readers.
//
// Input: the first byte seeds where the rest is split; the rest is the
// stream a client sends.
//
// Invariants:
// - the messages do not depend on how the stream was split;
// - no message is longer than the bound, and each overrun is reported once;
// - parsing is deterministic, and a unit without an error has a header of
//   upper-case mnemonics;
// - a parameter reader that accepts a value gives one inside its range.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "check.h"
#include "parameters.h"
#include "scpi_parser.h"

namespace {

using velmar::scpi::FramedMessage;
using velmar::scpi::MessageFramer;
using velmar::scpi::Parameter;
using velmar::scpi::ProgramUnit;

std::vector<FramedMessage> Frame(const uint8_t* data, size_t size, uint32_t seed) {
    MessageFramer framer;
    std::vector<FramedMessage> out;
    size_t at = 0;
    while (at < size) {
        size_t chunk = size - at;
        if (seed != 0) {
            seed = seed * 1103515245u + 12345u;  // chunk sizes from 1 to 64
            chunk = std::min<size_t>(chunk, 1 + (seed >> 16) % 64);
        }
        framer.Feed(reinterpret_cast<const char*>(data) + at, chunk, &out);
        at += chunk;
        CHECK(framer.pending_bytes() <= velmar::scpi::kMaxMessageBytes);
    }
    if (auto last = framer.Finish()) out.push_back(std::move(*last));
    CHECK(!framer.Finish());
    return out;
}

bool Same(const std::vector<ProgramUnit>& a, const std::vector<ProgramUnit>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].nodes != b[i].nodes || a[i].error != b[i].error || a[i].query != b[i].query ||
            a[i].parameters.size() != b[i].parameters.size()) {
            return false;
        }
    }
    return true;
}

void CheckReaders(const Parameter& parameter) {
    const velmar::scpi::Range ranges[] = {
        {1.0, 100e6, 1000.0, true}, {-1.0, 1.0, 0.0}, {0, 65535, 0}};
    for (const auto& range : ranges) {
        double value = 0.0;
        if (velmar::scpi::ReadNumber(parameter, range, &value) == 0) {
            CHECK(value >= range.min && value <= range.max);
        }
        int64_t whole = 0;
        if (velmar::scpi::ReadInteger(parameter, range, &whole) == 0) {
            CHECK(whole >= range.min && whole <= range.max);
        }
    }
    bool on = false;
    (void)velmar::scpi::ReadBoolean(parameter, &on);
    size_t choice = 99;
    if (velmar::scpi::ReadChoice(parameter, {"SINusoid", "SQUare", "RAMP"}, &choice) == 0) {
        CHECK(choice < 3);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint32_t seed = data[0];
    const std::vector<FramedMessage> whole = Frame(data + 1, size - 1, 0);
    const std::vector<FramedMessage> split = Frame(data + 1, size - 1, seed | 1u);
    CHECK(whole.size() == split.size());
    for (size_t i = 0; i < whole.size(); ++i) {
        CHECK(whole[i].overrun == split[i].overrun);
        CHECK(whole[i].text == split[i].text);
        CHECK(whole[i].text.size() <= velmar::scpi::kMaxMessageBytes);
        CHECK(!whole[i].overrun || whole[i].text.empty());
        if (whole[i].overrun) continue;

        const std::vector<ProgramUnit> units = velmar::scpi::ParseMessage(whole[i].text);
        CHECK(Same(units, velmar::scpi::ParseMessage(whole[i].text)));
        CHECK(units.size() <= whole[i].text.size());
        for (const ProgramUnit& unit : units) {
            if (unit.error != 0) continue;
            CHECK(!unit.nodes.empty());
            for (const std::string& node : unit.nodes) {
                CHECK(!node.empty());
                for (char c : node) CHECK(!(c >= 'a' && c <= 'z'));
            }
            for (const Parameter& parameter : unit.parameters) CheckReaders(parameter);
        }
    }
    return 0;
}
