// velmar-dds: the command-line tool. See `velmar-dds --help`.

#include <signal.h>

#include <iostream>
#include <string>
#include <vector>

#include "cli.h"

int main(int argc, char** argv) {
    // An instrument that hangs up must not end the tool with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    return velmar::tool::RunCli(args, std::cout, std::cerr);
}
