#pragma once

#include <cstdint>

namespace quarrow {

// Work cut into numbered pieces that may be made on several threads but
// must be used in order: make(piece, worker) runs on one of `threads`
// workers, take(piece) on the calling thread, in piece order, each after its
// piece was made. At most `ahead` pieces are made before they are taken,
// which bounds the memory of made pieces (a piece's slot is piece % ahead).
//
// With one thread, or where no thread can be started, everything runs on
// the calling thread. A call that returns false stops the work: no later
// piece is taken, and the result is false.
class OrderedWork {
 public:
  virtual ~OrderedWork() = default;
  virtual bool make(uint64_t piece, unsigned worker) = 0;
  virtual bool take(uint64_t piece) = 0;
};

bool run_ordered_work(OrderedWork* work, uint64_t pieces, unsigned threads, uint64_t ahead);

// The cores this process may use; at least 1.
unsigned available_cores();

}  // namespace quarrow
