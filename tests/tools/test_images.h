// The tool tests' former name for the shared image helpers, kept while tests still use it.
#pragma once

#include "support/test_images.h"

namespace tile_test = qv_test;
