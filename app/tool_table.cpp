// The tool words of this executable, tested top to bottom and left to right.
#include "app/dispatcher.h"
#include "ipc/channel.h"
#include "makepano/makepano_tool.h"
#include "server/testserver.h"
#include "tools/cube2sphere_tool.h"
#include "tools/encrypt_tool.h"
#include "tools/makepreview_tool.h"
#include "tools/makethumb_tool.h"
#include "tools/maketiles_tool.h"
#include "tools/ping_tool.h"
#include "tools/transform_tool.h"

namespace {

// What help and the manual pages say about each tool. The options themselves come from each
// tool's own syntax text, which "help TOOL" prints and the page generator quotes.
const ToolHelp kMakepanoHelp = {
    "makepano",
    "make a template-based multi-resolution pano/tour",
    "Turns panorama images into a web tour: a multi-resolution tile pyramid per panorama, "
    "preview, thumbnail, mobile and tablet images, an XML scene description written from "
    "templates, an HTML page and the browser viewer script.\n\n"
    "The config file sets everything; every config key can also be given on the command line "
    "as -key=value, which overrides the file. A relative config name is looked for in the "
    "current folder first, then in the data folders (see FILES); the template names inside a "
    "config are relative to the config's own folder. With -verbose the tool names the config "
    "and the viewer script it uses.",
    {"qorveltools makepano -config=tour.config pano.jpg|a cube tour of one spherical panorama: "
     "pano.tiles/, pano.xml, pano.html and pano.js next to pano.jpg",
     "qorveltools makepano -config=scenes.config a.jpg b.jpg|one tour with a scene per "
     "panorama",
     "qorveltools makepano -config=tour.config flat.jpg -panotype=flat|a zoomable flat image",
     nullptr},
    nullptr,
    nullptr,
    "-h"};

const ToolHelp kMaketilesHelp = {
    "maketiles",
    "make or merge tiles",
    "Splits a big image into tiles, merges tiles into one image or re-tiles them, resizes, and "
    "converts between image formats. The image is read and written row by row, so its size is "
    "not limited by memory.",
    {"qorveltools maketiles pano.tif tiles/pano_%v_%h.jpg 512|512-pixel JPEG tiles",
     "qorveltools maketiles tiles/pano_%v_%h.jpg merged.tif 0 -insize=8000x4000 "
     "-intilesize=512|merges the tiles into one TIFF",
     "qorveltools maketiles pano.tif small.jpg 0 -resize=2000x*|a smaller copy",
     nullptr},
    nullptr};

const ToolHelp kMakepreviewHelp = {
    "makepreview",
    "make a smooth panoramic preview image",
    "Renders a small, heavily blurred preview of a spherical or cubical panorama, shown by a "
    "tour while its tiles load.",
    {"qorveltools makepreview pano.jpg|pano_preview.jpg, 1024 x 512",
     "qorveltools makepreview pano.jpg -cs -o=preview.jpg|a cube-strip preview", nullptr},
    nullptr};

const ToolHelp kSphere2cubeHelp = {
    "sphere2cube",
    "convert a spherical to a cubical pano image",
    "Renders the six cube faces, a cube strip or a perspective view from a spherical or "
    "cylindrical panorama. A relative -config name is looked for like the configs of makepano.",
    {"qorveltools sphere2cube cube pano.jpg face.jpg|face_l.jpg, face_f.jpg ... face_d.jpg: the six faces",
     "qorveltools sphere2cube view pano.jpg view.jpg -outsize=1600x900 -fov=70 "
     "-lookat=30,0,0|a view turned 30 degrees to the right",
     nullptr},
    nullptr};

const ToolHelp kCube2sphereHelp = {
    "cube2sphere",
    "convert a cubical to a spherical pano image",
    "Renders a spherical panorama from six cube faces. A relative -config name is looked for "
    "like the configs of makepano.",
    {"qorveltools cube2sphere pano_l.jpg pano_f.jpg pano_r.jpg pano_b.jpg pano_u.jpg pano_d.jpg "
     "-o=sphere.tif|the sphere as a TIFF",
     nullptr},
    nullptr};

const ToolHelp kEncryptHelp = {
    "encrypt",
    "encrypt files",
    "Wraps the XML and script files of a tour in an encrypted form that only the viewer reads.",
    {nullptr},
    nullptr};

const ToolHelp kTestserverHelp = {
    "testserver",
    "serve a folder over HTTP for trying out a tour",
    "Serves a folder (by default the executable's) over HTTP/1.1 with directory listings, "
    "until interrupted (Ctrl+C). With -localonly it listens on 127.0.0.1 only.",
    {"qorveltools testserver -localonly ~/tours|serves ~/tours on this machine only", nullptr},
    nullptr,
    testserver_print_usage};

const ToolHelp kIpcHelp = {
    "ipc",
    "the channel of a graphical front end, first protocol",
    "Reads framed requests on standard input and answers on standard output, for a graphical "
    "front end that runs this program; not meant to be typed.",
    {nullptr},
    "Syntax: qorveltools ipc\n"
    "    - reads framed requests on standard input until \"exit\"\n"};

const ToolHelp kIpc2Help = {
    "ipc2",
    "the channel of a graphical front end, second protocol (JSON requests)",
    "Reads framed JSON requests on standard input and answers on standard output, for a "
    "graphical front end that runs this program; not meant to be typed.",
    {nullptr},
    "Syntax: qorveltools ipc2\n"
    "    - reads framed JSON requests on standard input until \"exit\"\n"};

const ToolHelp kPingHelp = {
    "ping",
    "print what the image probe finds in a file",
    "Prints the size, GPS position, camera pose, ICC profile, embedded thumbnail and comment "
    "of an image, read from its headers only. Prints nothing and exits with 1 when the file is "
    "no readable image.",
    {"qorveltools ping pano.jpg|size and metadata of pano.jpg", nullptr},
    "Syntax: qorveltools ping imagefile\n"};

const ToolHelp kMakethumbHelp = {
    "makethumb",
    "make a small JPEG thumbnail of an image",
    "Writes a JPEG thumbnail no larger than MAXWIDTH x MAXHEIGHT (default 256 x 256; the height "
    "defaults to the width), keeping the image's aspect.",
    {"qorveltools makethumb pano.tif thumb.jpg 300 100|at most 300 x 100", nullptr},
    "Syntax: qorveltools makethumb inputfile outputfile [maxwidth [maxheight]]\n"};

const ToolRow kToolTable[] = {
    {{"makepano", "makemultires", "qmakemultires", nullptr},
     makepano_main,
     nullptr,
     nullptr,
     &kMakepanoHelp},
    {{"maketiles", "qmaketiles", "convert", nullptr}, nullptr, maketiles_main, nullptr, &kMaketilesHelp},
    {{"makepreview", "qmakepreview", nullptr}, nullptr, makepreview_main, nullptr, &kMakepreviewHelp},
    {{"spheretocube", "sphere2cube", "qsphere2cube", "transform", "qtransform", nullptr},
     transform_main,
     nullptr,
     nullptr,
     &kSphere2cubeHelp},
    {{"cubetosphere", "cube2sphere", "qcube2sphere", nullptr},
     cube2sphere_main,
     nullptr,
     nullptr,
     &kCube2sphereHelp},
    // The encryption tool takes no console record: its errors are printed, or returned as the
    // result text when the channel runs it.
    {{"encrypt", "qencrypt", nullptr}, nullptr, encrypt_main, nullptr, &kEncryptHelp},
    // Plain shape: the tool reads an optional folder and option from its arguments.
    {{"testserver", "testingserver", nullptr}, testserver_main, nullptr, nullptr, &kTestserverHelp},
    // The front-end channel reads its requests from standard input.
    {{"ipc", nullptr}, nullptr, nullptr, ipc_main, &kIpcHelp},
    {{"ipc2", nullptr}, nullptr, nullptr, ipc2_main, &kIpc2Help},
    // Built-in image commands.
    {{"ping", nullptr}, nullptr, ping_main, nullptr, &kPingHelp},
    {{"makethumb", nullptr}, nullptr, makethumb_main, nullptr, &kMakethumbHelp},
};

}  // namespace

const ToolRow* tool_table(size_t* row_count) {
  *row_count = sizeof(kToolTable) / sizeof(kToolTable[0]);
  return kToolTable;
}
