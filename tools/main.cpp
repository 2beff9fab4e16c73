// velmar-dds: the command-line tool. See `velmar-dds --help`.

#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "cli.h"

int main(int argc, char** argv) {
    // An instrument that hangs up must not end the tool with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    const bool interactive = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
    return velmar::tool::RunCli(args, std::cin, std::cout, std::cerr, interactive,
                                isatty(STDERR_FILENO) != 0);
}
