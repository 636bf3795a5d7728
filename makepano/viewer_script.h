// The browser viewer built into the executable: the joined viewer/*.js, written beside a tour's
// page when no viewer.js lies beside the executable and no script of the user's is named.
#pragma once

#include <cstddef>

extern const char kEmbeddedViewerScript[];
extern const size_t kEmbeddedViewerScriptSize;
