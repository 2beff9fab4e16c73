// The SCPI server's input side fed arbitrary bytes, split anywhere: the
// message framer, the parser into program units and the parameter readers.
//
// Input: the first byte seeds where the rest is split; with its top five
// bits set the rest is repeated past the message bound, and with its low
// four bits clear a list in it is tried at the parameter bound. The rest is
// the stream a client sends.
//
// Invariants:
// - the messages do not depend on how the stream was split;
// - the framer never holds more than the bound, however long a message or a
//   block it is sent; no message is longer than the bound, and each overrun
//   is reported once;
// - a block declared longer than the bound ends the stream: nothing is
//   framed after it;
// - parsing is deterministic, and a unit without an error has a header of
//   upper-case mnemonics and at most kMostParameters parameters; a list one
//   longer is refused with -108 and keeps none;
// - a parameter reader that accepts a value gives one inside its range.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "check.h"
#include "parameters.h"
#include "scpi_parser.h"
#include "scpi_status.h"

namespace {

using velmar::scpi::FramedMessage;
using velmar::scpi::kMaxMessageBytes;
using velmar::scpi::kMostParameters;
using velmar::scpi::MessageFramer;
using velmar::scpi::Parameter;
using velmar::scpi::ProgramUnit;

std::vector<FramedMessage> Frame(const std::string& stream, uint32_t seed) {
    MessageFramer framer;
    std::vector<FramedMessage> out;
    size_t at = 0;
    while (at < stream.size()) {
        size_t chunk = stream.size() - at;
        if (seed != 0) {
            seed = seed * 1103515245u + 12345u;  // chunk sizes from 1 to 64
            chunk = std::min<size_t>(chunk, 1 + (seed >> 16) % 64);
        }
        // A chunk may hold several messages: each Feed stops after one.
        while (chunk > 0) {
            std::optional<FramedMessage> message;
            const size_t taken = framer.Feed(stream.data() + at, chunk, &message);
            CHECK(taken >= 1 && taken <= chunk);
            CHECK(message || taken == chunk);
            at += taken;
            chunk -= taken;
            if (message) out.push_back(std::move(*message));
            CHECK(framer.pending_bytes() <= kMaxMessageBytes);
            CHECK(framer.buffered_bytes() <= kMaxMessageBytes);
        }
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

// A message of one unit whose parameters are plain words and numbers is
// read again with its list repeated: up to the bound it is taken, one copy
// past it refused whole.
void CheckParameterBound(const std::string& text, const ProgramUnit& unit) {
    const size_t count = unit.parameters.size();
    const size_t space = text.find_first_of(" \t\r\v\f");
    if (count == 0 || space == 0 || space == std::string::npos ||
        text.find_first_of(";\"'#", space) != std::string::npos || text.size() - space > 16) {
        return;
    }
    const std::string list = text.substr(space);
    const size_t most_copies = kMostParameters / count;
    for (const size_t copies : {most_copies, most_copies + 1}) {
        std::string longer = text;
        for (size_t i = 1; i < copies; ++i) longer += "," + list;
        const std::vector<ProgramUnit> units = velmar::scpi::ParseMessage(longer);
        CHECK(units.size() == 1);
        if (copies * count <= kMostParameters) {
            CHECK(units[0].error == 0 && units[0].parameters.size() == copies * count);
        } else {
            CHECK(units[0].error == velmar::scpi::kParameterNotAllowed &&
                  units[0].parameters.empty());
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint32_t seed = data[0];
    std::string stream(reinterpret_cast<const char*>(data) + 1, size - 1);
    // One input in 32: a megabyte of framing costs what a thousand short
    // inputs do.
    const bool repeated = (seed & 0xF8) == 0xF8 && !stream.empty();
    if (repeated) {
        // Past the bound: overruns, and blocks that end beyond it.
        const size_t copies = 1 + (kMaxMessageBytes + 1) / stream.size();
        std::string repeated;
        repeated.reserve(copies * stream.size());
        for (size_t i = 0; i < copies; ++i) repeated += stream;
        stream = std::move(repeated);
    }
    const std::vector<FramedMessage> whole = Frame(stream, 0);
    const std::vector<FramedMessage> split = Frame(stream, seed | 1u);
    CHECK(whole.size() == split.size());
    for (size_t i = 0; i < whole.size(); ++i) {
        CHECK(whole[i].kind == split[i].kind);
        CHECK(whole[i].text == split[i].text);
        CHECK(whole[i].declared_bytes == split[i].declared_bytes);
        CHECK(whole[i].text.size() <= kMaxMessageBytes);
        if (whole[i].kind == FramedMessage::Kind::kBlockTooLong) {
            CHECK(whole[i].declared_bytes > kMaxMessageBytes);
            CHECK(i + 1 == whole.size());  // the stream ends there
            continue;
        }
        CHECK(whole[i].declared_bytes == 0);
        if (whole[i].kind == FramedMessage::Kind::kOverrun) {
            CHECK(whole[i].text.empty());
            continue;
        }
        // The copies of a repeated stream parse as the first ones do.
        if (repeated && i >= 64) continue;

        const std::vector<ProgramUnit> units = velmar::scpi::ParseMessage(whole[i].text);
        CHECK(Same(units, velmar::scpi::ParseMessage(whole[i].text)));
        CHECK(units.size() <= whole[i].text.size());
        for (const ProgramUnit& unit : units) {
            CHECK(unit.parameters.size() <= kMostParameters);
            if (unit.error != 0) continue;
            CHECK(!unit.nodes.empty());
            for (const std::string& node : unit.nodes) {
                CHECK(!node.empty());
                for (char c : node) CHECK(!(c >= 'a' && c <= 'z'));
            }
            for (const Parameter& parameter : unit.parameters) CheckReaders(parameter);
        }
        // Four thousand parameters cost what a thousand short inputs do: the
        // bound is tried on one input in sixteen.
        if (i == 0 && (seed & 0x0F) == 0 && units.size() == 1 && units[0].error == 0) {
            CheckParameterBound(whole[i].text, units[0]);
        }
    }
    return 0;
}
