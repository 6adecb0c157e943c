// Included by every unit of the library, so that each carries the fixed-point tables.
#pragma once

#include "fixed_point/fixed_point.cuh"
#include "runtime/compat.cuh"
