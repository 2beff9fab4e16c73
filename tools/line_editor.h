// The shell's lines at a terminal. Built with libedit (the BSD editline
// library: a BSD license like this project's MIT one, where GNU readline's
// GPL would bind the tool, and small), lines can be edited, the session's
// earlier lines come back with the arrow keys, and Tab completes command
// names and options. Built without it, lines are read as typed.
#pragma once

#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace velmar::tool {

// The words that complete `word`, given the line before it.
using Completer =
    std::function<std::vector<std::string>(const std::string& before, const std::string& word)>;

class LineEditor {
  public:
    virtual ~LineEditor() = default;
    // The next line without its end; nothing at the end of input.
    virtual std::optional<std::string> Read(const std::string& prompt) = 0;
};

// For a terminal on standard input and output: libedit's editor when the
// tool has it, else `in` read as typed, with the prompt on `out`.
std::unique_ptr<LineEditor> TerminalEditor(std::istream& in, std::ostream& out,
                                           Completer completer);

// Whether this build edits lines with libedit.
bool HasLineEditing();

}  // namespace velmar::tool
