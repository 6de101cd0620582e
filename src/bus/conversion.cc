#include "bus/conversion.h"

#include <algorithm>
#include <new>

namespace quarrow {

Conversion::~Conversion() {
  conversion_reset(this);
}

Conversion::Conversion(Conversion&& other) noexcept
    : kind(other.kind), factor(other.factor), offset(other.offset), table(other.table) {
  other.table = nullptr;
  other.kind = CONVERSION_IDENTITY;
}

Conversion& Conversion::operator=(Conversion&& other) noexcept {
  if (this != &other) {
    conversion_reset(this);
    kind = other.kind;
    factor = other.factor;
    offset = other.offset;
    table = other.table;
    other.table = nullptr;
    other.kind = CONVERSION_IDENTITY;
  }
  return *this;
}

void conversion_reset(Conversion* conversion) {
  delete conversion->table;
  conversion->table = nullptr;
  conversion->kind = CONVERSION_IDENTITY;
  conversion->factor = 1.0;
  conversion->offset = 0.0;
}

bool conversion_set_linear(Conversion* conversion, const double* values, uint64_t count) {
  conversion_reset(conversion);
  if (!values || count < 2) return count < 2;
  conversion->kind = CONVERSION_LINEAR;
  conversion->offset = values[0];
  conversion->factor = values[1];
  return true;
}

bool conversion_set_value_table(Conversion* conversion, const double* values, uint64_t count) {
  conversion_reset(conversion);
  ValueTable* table = new (std::nothrow) ValueTable;
  if (!table) return false;
  uint64_t pairs = values ? count / 2 : 0;
  if (!table->sorted_keys.reserve(pairs)) {
    delete table;
    return false;
  }
  for (uint64_t i = 0; i < pairs; ++i) {
    // Adding 0.0 turns -0.0 into 0.0: equal keys must hash alike.
    double key = values[2 * i] + 0.0;
    auto result = table->map.insert(key);
    if (!result.slot) {
      delete table;
      return false;
    }
    // A NaN key is never equal to itself, so every NaN pair gets a slot of
    // its own that no lookup reaches; it takes no part in the nearest-key rule.
    if (!result.inserted) continue;
    result.slot->value = values[2 * i + 1];
    if (key == key) table->sorted_keys.append(key);
  }
  std::sort(table->sorted_keys.begin(), table->sorted_keys.end());
  conversion->kind = CONVERSION_VALUE_TABLE;
  conversion->table = table;
  return true;
}

namespace {

double table_lookup(const ValueTable& table, double raw) {
  if (const auto* slot = table.map.find(raw + 0.0)) return slot->value;
  const GrowArray<double>& keys = table.sorted_keys;
  if (keys.empty() || raw != raw) return raw;
  const double* upper = std::lower_bound(keys.begin(), keys.end(), raw);
  double key;
  if (upper == keys.begin()) {
    key = *upper;
  } else if (upper == keys.end()) {
    key = keys[keys.size() - 1];
  } else {
    double lower = upper[-1];
    key = (*upper - raw < raw - lower) ? *upper : lower;
  }
  const auto* slot = table.map.find(key);
  return slot ? slot->value : raw;
}

}  // namespace

double conversion_apply(const Conversion& conversion, double raw) {
  switch (conversion.kind) {
    case CONVERSION_LINEAR:
      return raw * conversion.factor + conversion.offset;
    case CONVERSION_VALUE_TABLE:
      return conversion.table ? table_lookup(*conversion.table, raw) : raw;
    case CONVERSION_IDENTITY:
      break;
  }
  return raw;
}

}  // namespace quarrow
