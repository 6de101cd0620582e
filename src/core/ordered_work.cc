#include "core/ordered_work.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace quarrow {

namespace {

struct Shared {
  std::mutex mutex;
  std::condition_variable made;   // a piece was made, or the work stopped
  std::condition_variable taken;  // a piece was taken, or the work stopped
  uint64_t next = 0;              // the next piece to hand to a worker
  uint64_t taken_count = 0;
  std::vector<char> done;         // per slot: the piece in it is made
  std::vector<char> result;
  bool stop = false;
};

void worker_loop(OrderedWork* work, Shared* shared, uint64_t pieces, uint64_t ahead,
                 unsigned worker) {
  for (;;) {
    uint64_t piece;
    {
      std::unique_lock<std::mutex> lock(shared->mutex);
      shared->taken.wait(lock, [&] {
        return shared->stop || shared->next >= pieces ||
               shared->next < shared->taken_count + ahead;
      });
      if (shared->stop || shared->next >= pieces) return;
      piece = shared->next++;
    }
    bool ok = work->make(piece, worker);
    {
      std::lock_guard<std::mutex> lock(shared->mutex);
      shared->done[piece % ahead] = 1;
      shared->result[piece % ahead] = ok;
    }
    shared->made.notify_all();
  }
}

// Every piece made and taken on the calling thread.
bool run_here(OrderedWork* work, uint64_t pieces) {
  for (uint64_t piece = 0; piece < pieces; ++piece) {
    if (!work->make(piece, 0) || !work->take(piece)) return false;
  }
  return true;
}

}  // namespace

unsigned available_cores() {
  unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

bool run_ordered_work(OrderedWork* work, uint64_t pieces, unsigned threads, uint64_t ahead) {
  if (ahead == 0) ahead = 1;
  if (threads > pieces) threads = static_cast<unsigned>(pieces);
  if (threads <= 1) return run_here(work, pieces);
  Shared shared;
  std::vector<std::thread> workers;
  try {
    shared.done.assign(ahead, 0);
    shared.result.assign(ahead, 0);
    workers.reserve(threads);
    for (unsigned w = 0; w < threads; ++w) {
      workers.emplace_back(worker_loop, work, &shared, pieces, ahead, w);
    }
  } catch (const std::exception&) {
    // Short of memory or threads: the workers that did start carry on;
    // without any, the calling thread does it all.
    if (workers.empty()) return run_here(work, pieces);
  }
  bool ok = true;
  for (uint64_t piece = 0; piece < pieces && ok; ++piece) {
    uint64_t slot = piece % ahead;
    {
      std::unique_lock<std::mutex> lock(shared.mutex);
      shared.made.wait(lock, [&] { return shared.done[slot] != 0; });
      ok = shared.result[slot] != 0;
    }
    if (ok) ok = work->take(piece);
    {
      std::lock_guard<std::mutex> lock(shared.mutex);
      shared.done[slot] = 0;
      ++shared.taken_count;
      if (!ok) shared.stop = true;
    }
    shared.taken.notify_all();
  }
  {
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.stop = true;
  }
  shared.taken.notify_all();
  for (std::thread& t : workers) t.join();
  return ok;
}

}  // namespace quarrow
