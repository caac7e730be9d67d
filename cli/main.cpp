// lumkest-cli: the command-line twin of the LUM Kest window program.
#include <unistd.h>

#include <cstdio>

#include "cli/cli.h"

int main(int argc, char** argv) {
    CliStreams io;
    io.progress = isatty(fileno(stderr)) == 1;
    return runCli(argc, argv, io);
}
