// The tour builder's entry ("makepano", "makemultires", "qmakemultires"): selects and loads the
// config file, applies the command-line settings, collects the input files, analyses them and
// plans the levels of every input.
#pragma once

struct ConsoleOps;

// Tool entry: argv[0] is the program path, then -config=FILE (or FILE.config), input files or
// wildcard patterns and -key=value settings. Returns 0 on success, 1 on a usage, config,
// argument or input error.
int makepano_main(int argc, char** argv, ConsoleOps* ops);
