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
};

class Instrument;

using ConnectionHandler = Reply (*)(ConnectionState&, const ProgramUnit&);
using InstrumentHandler = Reply (*)(Instrument&, ByteOrder, const ProgramUnit&);

// What a row takes: a query or a command, and how many parameters.
enum class Form { kQuery, kCommand, kCommandWithValue, kCommandWithList };

struct Command {
    const char* pattern;
    Form form;
    ConnectionHandler on_connection;  // exactly one of the two is set
    InstrumentHandler on_instrument;
};

const std::vector<Command>& CommandTable();

// -109 or -108 when the unit's parameters do not fit the row's form; else 0.
int CheckParameterCount(const Command& command, const ProgramUnit& unit);

// True when the header's nodes (upper case) spell the pattern.
bool MatchesPattern(const char* pattern, const std::vector<std::string>& nodes);

// The row for a header, or null.
const Command* FindCommand(const std::vector<std::string>& nodes, bool query);

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
