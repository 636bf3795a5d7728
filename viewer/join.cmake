# Joins the viewer's source files, in the order given, into the one script a tour loads and
# writes the same text as a C++ source that builds the script into the executable.
#   cmake -DSOURCES=a.js;b.js -DSCRIPT=viewer.js -DEMBED=embedded_viewer.cpp -P join.cmake
set(text "")
foreach(source ${SOURCES})
  file(READ ${source} part)
  string(APPEND text "${part}")
endforeach()
string(FIND "${text}" ")qvjs\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "the viewer's text contains the end mark of the raw string: )qvjs\"")
endif()
# Written only when changed, so that an unchanged script rebuilds nothing.
file(WRITE ${SCRIPT}.new "${text}")
file(COPY_FILE ${SCRIPT}.new ${SCRIPT} ONLY_IF_DIFFERENT)
file(REMOVE ${SCRIPT}.new)
# g++ takes raw strings of any length; the pieces keep each literal small for other compilers.
string(LENGTH "${text}" length)
set(pieces "")
set(offset 0)
while(offset LESS length)
  string(SUBSTRING "${text}" ${offset} 8000 piece)
  string(APPEND pieces "    R\"qvjs(${piece})qvjs\"\n")
  math(EXPR offset "${offset} + 8000")
endwhile()
file(WRITE ${EMBED}.new
"// Generated from viewer/*.js by viewer/join.cmake; do not edit.
#include \"makepano/viewer_script.h\"

const char kEmbeddedViewerScript[] =
${pieces};
const size_t kEmbeddedViewerScriptSize = sizeof(kEmbeddedViewerScript) - 1;
")
file(COPY_FILE ${EMBED}.new ${EMBED} ONLY_IF_DIFFERENT)
file(REMOVE ${EMBED}.new)
