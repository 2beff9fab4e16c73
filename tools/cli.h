// velmar-dds, the command-line tool: one subcommand per task a bench user
// has, each a few calls of the session API (velmar/dds.h) on a handle that
// stays open for the run.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "velmar/dds.h"

namespace velmar::tool {

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // no instrument, index out of range, no answer, ...
constexpr int kExitUsage = 2;   // the command line was wrong

// A failure to report: one line, and the exit code.
class CliError : public std::runtime_error {
  public:
    CliError(int exit_code, const std::string& message)
        : std::runtime_error(message), exit_code_(exit_code) {}
    int exit_code() const { return exit_code_; }

  private:
    int exit_code_;
};

[[noreturn]] void UsageFail(const std::string& message);
[[noreturn]] void Fail(const std::string& message);

// The last download of this run to one instrument, for what the power-on
// store then plays.
struct Download {
    int32_t length = 0;
    int32_t periods = 0;
    uint16_t divider = 0;
};

struct CloseHandle {
    void operator()(velmar_dds* handle) const { velmar_dds_close(handle); }
};

// An instrument this run addressed: its handle stays open, and keeps the
// instrument's state, for every command of the run that uses it.
struct Instrument {
    std::unique_ptr<velmar_dds, CloseHandle> handle;
    std::optional<Download> download;
};

// What the subcommands of one run share.
struct Session {
    Session(std::ostream& out_stream, std::ostream& err_stream, std::istream& in_stream)
        : out(out_stream), err(err_stream), in(in_stream) {}

    std::ostream& out;
    std::ostream& err;         // warnings and notes, one line each
    std::istream& in;          // the commands of `shell`
    bool interactive = false;  // standard input and output are a terminal: prompt
    bool in_shell = false;     // the commands come from `shell`
    bool progress = false;     // standard error is a terminal: show slow downloads
    int chain_device = 0;      // --device before the first command
    int device = 0;            // the instrument of the command running now
    bool searched = false;
    int search_result = 0;                   // what the last search returned: a count or an error
    std::string search_failure;              // the library's words when the search failed
    std::vector<std::string> paths;          // the instruments found, in --device order
    std::map<std::string, Instrument> open;  // by path

    // Lists the instruments again.
    void Search();
    // Searches (again when `device` is not in the last list), then opens
    // `device` unless this run has it open; otherwise fails naming what is
    // wrong, in the library's words where they say why.
    Instrument& RequireInstrument();
    velmar_dds* Handle() { return RequireInstrument().handle.get(); }
    // "instrument 0"
    std::string Name() const;
    void Warn(const std::string& line) { err << "velmar-dds: " << line << "\n"; }
};

// Runs the command line without the program name; returns the exit code.
// Subcommands separated by a lone "+" run one after the other in one
// process on the same open handles; `shell` reads such lines from `in`.
int RunCli(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
           std::ostream& err, bool interactive = false, bool progress = false);

// The same with nothing on standard input: `shell` reads no line.
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// `velmar-dds demo`, in demo.cpp.
void RunDemo(Session& session, std::vector<std::string> args);
extern const char kDemoHelp[];

}  // namespace velmar::tool
