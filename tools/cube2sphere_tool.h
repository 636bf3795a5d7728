// The cube2sphere tool ("cubetosphere", "cube2sphere", "qcube2sphere"): turns six cube face
// images into one spherical (equirectangular) panorama, restoring the original sphere size when
// the faces carry the comment the transform tool writes.
#pragma once

#include <string>

struct ConsoleOps;

// Tool entry: argv[0] is the program path, then face files, "*" patterns and options. Returns 0
// on success, 1 on usage, argument or input errors and when the output could not be created.
int cube2sphere_main(int argc, char** argv, ConsoleOps* ops);
