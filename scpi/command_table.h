// The server's commands as one table of patterns, written as the manual
// writes them: `[SOURce:]FREQuency[:CW]`. Capitals are the short form, the
// whole word the long form, brackets an optional node. Each row says whether
// it needs the instrument: those run in turn on that instrument's own
// executor, the others at once on the connection.
#pragma once

#include <string>
#include <vector>

#include "parameters.h"
#include "scpi_parser.h"
#include "scpi_status.h"

namespace velmar::scpi {

enum class ByteOrder { kNormal, kSwapped };

// A connection's own state: its status, its byte order and the instrument
// it serves.
struct ConnectionState {
    int index = 0;
    Status status;
    ByteOrder byte_order = ByteOrder::kNormal;
    // An answer waits for the client to read it (MAV in *STB?); the door
    // sets it before each of the connection's own commands.
    bool message_available = false;
    // *IDN?'s serial field: --serial's, or the device's name (dds0), or
    // the instrument's index until it is found.
    std::string serial;
};

class Instrument;

using ConnectionHandler = Reply (*)(ConnectionState&, const ProgramUnit&);
using InstrumentHandler = Reply (*)(Instrument&, ByteOrder, const ProgramUnit&);

// What a row takes: a query (of a value with a range, MIN, MAX or DEF of
// it too), or a command, and how many parameters.
enum class Form { kQuery, kQueryRange, kCommand, kCommandWithValue, kCommandWithList };

struct Command {
    const char* pattern;
    Form form;
    ConnectionHandler on_connection;  // exactly one of the two is set
    InstrumentHandler on_instrument;
    // It changes the instrument: every command, and the queries that do
    // (MEAS:FREQ? and MEAS:TOT? switch the meter's mode). A read-only door
    // refuses these.
    bool changes = false;
};

const std::vector<Command>& CommandTable();

// -109 or -108 when the unit's parameters do not fit the row's form; else 0.
int CheckParameterCount(const Command& command, const ProgramUnit& unit);

// True when the header's nodes (upper case) spell the pattern.
bool MatchesPattern(const char* pattern, const std::vector<std::string>& nodes);

// The row for a header, or null. Of rows that spell the same header, the
// one whose parameters the unit fits: TRIG alone is TRIG:IMM, TRIG ON is
// TRIG:STAT.
const Command* FindCommand(const std::vector<std::string>& nodes, const ProgramUnit& unit);

// Resolves headers after the first of a message as SCPI does: `SOUR:FREQ 1;
// FUNC SIN` means SOUR:FUNC. A header that does not resolve so is tried
// from the root, so that `DIG:OUTP 5;MEAS:FREQ?` works too.
class HeaderPath {
  public:
    const Command* Resolve(const ProgramUnit& unit);
    void Reset() { path_.clear(); }

  private:
    std::vector<std::string> path_;
};

}  // namespace velmar::scpi
