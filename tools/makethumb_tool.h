// The makethumb tool: writes a small JPEG thumbnail of an image.
#pragma once

// makethumb INPUT OUTPUT [MAXWIDTH [MAXHEIGHT]]: writes a JPEG thumbnail of at most
// MAXWIDTH × MAXHEIGHT (default 256 × MAXWIDTH). 0 when the file was written completely.
int makethumb_main(int argc, char** argv);
