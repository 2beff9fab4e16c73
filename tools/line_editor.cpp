#include "line_editor.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef VELMAR_HAVE_LIBEDIT
#define VELMAR_HAVE_LIBEDIT 0
#endif
#if VELMAR_HAVE_LIBEDIT
#include <editline/readline.h>
#endif

namespace velmar::tool {
namespace {

class PlainEditor : public LineEditor {
  public:
    PlainEditor(std::istream& in, std::ostream& out) : in_(in), out_(out) {}

    std::optional<std::string> Read(const std::string& prompt) override {
        out_ << prompt << std::flush;
        std::string line;
        if (!std::getline(in_, line)) return std::nullopt;
        return line;
    }

  private:
    std::istream& in_;
    std::ostream& out_;
};

#if VELMAR_HAVE_LIBEDIT

// libedit's readline interface keeps its state in globals, and calls back
// through plain functions: the one editor of the process keeps its
// completer here.
Completer* active_completer = nullptr;
std::vector<std::string> matches;

char* NextMatch(const char*, int state) {
    static size_t next = 0;
    if (state == 0) next = 0;
    return next < matches.size() ? strdup(matches[next++].c_str()) : nullptr;
}

char** Complete(const char* text, int start, int) {
    matches = (*active_completer)(std::string(rl_line_buffer, static_cast<size_t>(start)), text);
    // No word of the tool's fits: a file name may (--wave FILE.csv).
    rl_attempted_completion_over = matches.empty() ? 0 : 1;
    return matches.empty() ? nullptr : rl_completion_matches(text, NextMatch);
}

class EditlineEditor : public LineEditor {
  public:
    explicit EditlineEditor(Completer completer) : completer_(std::move(completer)) {
        active_completer = &completer_;
        // Settings in ~/.editrc under this name apply to the shell only.
        rl_readline_name = "velmar-dds";
        rl_attempted_completion_function = Complete;
        using_history();
    }
    ~EditlineEditor() override {
        clear_history();
        active_completer = nullptr;
    }

    std::optional<std::string> Read(const std::string& prompt) override {
        char* typed = readline(prompt.c_str());
        if (typed == nullptr) return std::nullopt;
        std::string line = typed;
        std::free(typed);
        if (line.find_first_not_of(" \t") != std::string::npos) add_history(line.c_str());
        return line;
    }

  private:
    Completer completer_;
};

#endif

}  // namespace

bool HasLineEditing() {
    return VELMAR_HAVE_LIBEDIT != 0;
}

std::unique_ptr<LineEditor> TerminalEditor(std::istream& in, std::ostream& out,
                                           Completer completer) {
#if VELMAR_HAVE_LIBEDIT
    (void)in;
    out << std::flush;
    return std::make_unique<EditlineEditor>(std::move(completer));
#else
    (void)completer;
    return std::make_unique<PlainEditor>(in, out);
#endif
}

}  // namespace velmar::tool
