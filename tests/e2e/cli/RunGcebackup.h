// Kept for the suites that include the runner by this path; the runner lives
// in tests/support/RunProcess.h.
#pragma once

#include "RunProcess.h"
