// The tool words of this executable, tested top to bottom and left to right.
#include "app/dispatcher.h"
#include "server/testserver.h"

namespace {

const ToolRow kToolTable[] = {
    // Plain shape: the tool reads an optional folder and option from its arguments.
    {{"testserver", "testingserver", nullptr}, nullptr, testserver_main, nullptr},
};

}  // namespace

const ToolRow* tool_table(size_t* row_count) {
  *row_count = sizeof(kToolTable) / sizeof(kToolTable[0]);
  return kToolTable;
}
