// The command-line tool's chained command line: words split at white space,
// commands joined by a lone "+", each with its options and operands, run in
// one process with no instrument attached (the device directory does not
// exist), so that every command reads its arguments and then either needs
// no instrument or fails for want of one.
//
// Left out, as a user's own doing rather than input to parse: `demo` and
// `shell` (they start a simulated instrument and write a plot, or read
// standard input), `sleep` (it waits up to an hour), `--trace` (it turns on
// the library's trace for the rest of the process) and any word with a '/'
// (a wave file elsewhere than in the current directory).
//
// Invariants:
// - the exit status is 0 (done), 1 (failed) or 2 (wrong command line);
// - every line on standard error is the tool's own and a failure says why;
// - a chain with an empty step or an unknown command runs nothing: it ends
//   with 2 and writes nothing on standard output.

#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "check.h"
#include "cli.h"

namespace {

const std::set<std::string>& KnownCommands() {
    static const std::set<std::string> known = {"list",     "freq",          "sweep",   "plan",
                                                "measure",  "counter-reset", "single",  "trigger",
                                                "dio-mode", "dio-in",        "dio-out", "power-on",
                                                "divider",  "clock",         "help",    "demo"};
    return known;
}

// The words without `--device N`, which the tool takes out wherever it stands.
std::vector<std::string> WithoutDevice(const std::vector<std::string>& words) {
    std::vector<std::string> rest;
    for (size_t i = 0; i < words.size(); ++i) {
        if (words[i] == "--device" && i + 1 < words.size()) {
            ++i;
            continue;
        }
        rest.push_back(words[i]);
    }
    return rest;
}

// True when some step of the chain is empty or starts with no known command,
// so that the whole line is refused before anything runs.
bool RefusedWhole(const std::vector<std::string>& rest) {
    if (rest.empty() || rest[0] == "--help" || rest[0] == "-h" || rest[0] == "help" ||
        rest[0] == "--version")
        return false;
    bool step_start = true;
    for (const std::string& word : rest) {
        if (word == "+") {
            if (step_start) return true;
            step_start = true;
        } else if (step_start) {
            if (KnownCommands().count(word) == 0) return true;
            step_start = false;
        }
    }
    return step_start;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("VELMAR_DDS_DEVICE_DIR", "/nonexistent/velmar-dds-fuzz", 1);
    // No instrument opens, so no state is kept; were one to, never among the user's.
    setenv("VELMAR_DDS_STATE_DIR", "/nonexistent/velmar-dds-fuzz-state", 1);
    unsetenv("VELMAR_DDS_TRACE");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> words;
    std::istringstream text(std::string(reinterpret_cast<const char*>(data), size));
    for (std::string word; text >> word;) {
        if (word == "demo" || word == "shell" || word == "sleep" || word == "--trace" ||
            word.find('/') != std::string::npos)
            return 0;
        words.push_back(word);
    }
    std::ostringstream out, err;
    const int code = velmar::tool::RunCli(words, out, err);
    CHECK(code == velmar::tool::kExitOk || code == velmar::tool::kExitFailed ||
          code == velmar::tool::kExitUsage);
    std::istringstream lines(err.str());
    for (std::string line; std::getline(lines, line);) CHECK(line.rfind("velmar-dds: ", 0) == 0);
    // With no command at all the tool shows its help instead of an error.
    const std::vector<std::string> rest = WithoutDevice(words);
    if (code != velmar::tool::kExitOk && !rest.empty()) CHECK(!err.str().empty());
    if (RefusedWhole(rest)) CHECK(code == velmar::tool::kExitUsage && out.str().empty());
    return 0;
}
