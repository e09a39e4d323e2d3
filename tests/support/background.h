// Kept for the tests that include it by this name; the runner lives in process.h.
#pragma once
#include "tests/support/process.h"
