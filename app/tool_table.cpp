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

const ToolRow kToolTable[] = {
    {{"makepano", "makemultires", "qmakemultires", nullptr}, makepano_main, nullptr, nullptr},
    {{"maketiles", "qmaketiles", "convert", nullptr}, nullptr, maketiles_main, nullptr},
    {{"makepreview", "qmakepreview", nullptr}, nullptr, makepreview_main, nullptr},
    {{"spheretocube", "sphere2cube", "qsphere2cube", "transform", "qtransform", nullptr},
     transform_main,
     nullptr,
     nullptr},
    {{"cubetosphere", "cube2sphere", "qcube2sphere", nullptr}, cube2sphere_main, nullptr, nullptr},
    // The encryption tool takes no console record: its errors are printed, or returned as the
    // result text when the channel runs it.
    {{"encrypt", "qencrypt", nullptr}, nullptr, encrypt_main, nullptr},
    // Plain shape: the tool reads an optional folder and option from its arguments.
    {{"testserver", "testingserver", nullptr}, testserver_main, nullptr, nullptr},
    // The front-end channel reads its requests from standard input.
    {{"ipc", nullptr}, nullptr, nullptr, ipc_main},
    {{"ipc2", nullptr}, nullptr, nullptr, ipc2_main},
    // Built-in image commands.
    {{"ping", nullptr}, nullptr, ping_main, nullptr},
    {{"makethumb", nullptr}, nullptr, makethumb_main, nullptr},
};

}  // namespace

const ToolRow* tool_table(size_t* row_count) {
  *row_count = sizeof(kToolTable) / sizeof(kToolTable[0]);
  return kToolTable;
}
