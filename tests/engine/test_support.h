// Helpers shared by the engine tests.
#pragma once

#include "scratch_dir.h"
