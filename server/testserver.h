// The testserver tool: serves a folder (by default the executable's) over HTTP for trying out
// tours in a browser, until interrupted.
#pragma once

struct ConsoleOps;

// Entry of "testserver" and "testingserver": [-localonly] [folder]. Returns 1 when the server
// cannot start, 0 after a stop by SIGINT or SIGTERM.
int testserver_main(int argc, char** argv, ConsoleOps* ops);

// Prints the syntax text of the testserver tool.
void testserver_print_usage(ConsoleOps* ops);
