#pragma once

#include <cstdint>

#include "bus/channel_info.h"
#include "core/grow_array.h"
#include "core/hash_map.h"

namespace quarrow {

// Value-to-value table without interpolation.
struct ValueTable {
  HashMap<double, double> map;  // the first pair wins for a repeated key
  // The distinct keys in ascending order (NaN keys left out), for raw values
  // that are not keys: those take the value of the nearest key, the lower
  // one on a tie.
  GrowArray<double> sorted_keys;
};

// Makes `conversion` linear from an MDF conversion's parameters: offset =
// values[0], factor = values[1]. Fewer than two values give the identity.
// Returns false (leaving the identity) when it cannot be built.
bool conversion_set_linear(Conversion* conversion, const double* values, uint64_t count);

// Makes `conversion` a value table of count / 2 (key, value) pairs taken from
// values. Returns false (leaving the identity) when memory is short.
bool conversion_set_value_table(Conversion* conversion, const double* values, uint64_t count);

// Back to the identity; frees any table.
void conversion_reset(Conversion* conversion);

}  // namespace quarrow
