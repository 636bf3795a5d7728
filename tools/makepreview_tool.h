// The makepreview tool ("makepreview", "qmakepreview"): writes a smooth preview image of a
// spherical panorama or of six cube faces, as an equirectangular image or as a cube strip.
#pragma once

// Tool entry: argv[0] is the program path, then input files and options. Returns 0 on success,
// 1 on any failure.
int makepreview_main(int argc, char** argv);
