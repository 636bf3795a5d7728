// The maketiles tool ("maketiles", "qmaketiles", "convert"): the command-line face of the
// tiling core. Splits, merges, re-tiles, resizes and converts images.
#pragma once

// Tool entry: argv[0] is the program path, then inputfile, outputfile and an optional tile size,
// with options before, between or after them. Returns 0 on success, 1 on a usage, argument or
// processing error.
int maketiles_main(int argc, char** argv);
