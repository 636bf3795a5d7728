// The ping tool: prints what the probe finds in an image file.
#pragma once

// ping IMAGE: prints size, GPS, pose, ICC profile, thumbnail, comment and the probe's time.
// 0 on success; 1 without output when no path is given or the file cannot be probed.
int ping_main(int argc, char** argv);
