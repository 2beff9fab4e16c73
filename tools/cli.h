// velmar-dds, the command-line tool: one subcommand per task a bench user
// has, each a few calls of the library's public functions.
#pragma once

#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

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

// What the subcommands of one run share.
struct Session {
    std::ostream& out;
    int device = 0;
    bool searched = false;
    int found = 0;

    // Searches once per run, then checks that `device` is in the list and
    // opens; otherwise fails naming what is wrong.
    void RequireInstrument();
    // "instrument 0"
    std::string Name() const;
};

// Frequencies: "1000.16 Hz" exactly to the hundredth; clocks to four digits
// in a unit that suits them ("2.083 MHz").
std::string FormatHz(double hz);
std::string FormatClock(double hz);

// Runs the command line without the program name; returns the exit code.
// Subcommands separated by a lone "+" run one after the other in one
// process, so that the library's control state carries from one to the next.
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// `velmar-dds demo`, in demo.cpp.
void RunDemo(Session& session, std::vector<std::string> args);
extern const char kDemoHelp[];

}  // namespace velmar::tool
