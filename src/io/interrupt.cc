#include "io/interrupt.h"

#include <atomic>
#include <thread>

#include "log/log.h"

namespace quarrow {

namespace {

// Enough for every table a run writes at once: one per worker thread.
constexpr int kTrackSlots = 1024;

// Plain atomics only: the handler reads them, and a signal handler may
// take no lock.
std::atomic<void*> g_tracked[kTrackSlots];
std::atomic<int> g_code{0};
// Handlers removing tracked files right now: a path is freed only when
// none is, as one may be using it.
std::atomic<int> g_handlers{0};
std::atomic<uint64_t> g_converted{0};

void remove_tracked() {
  for (std::atomic<void*>& slot : g_tracked) {
    if (void* native = slot.load()) interrupt_platform_remove(native);
  }
}

}  // namespace

bool interrupt_install() {
  return interrupt_platform_install();
}

bool interrupted() {
  return g_code.load(std::memory_order_acquire) != 0;
}

int64_t interrupt_track(StringView path) {
  void* native = interrupt_platform_path(path);
  if (!native) return -1;
  for (int64_t i = 0; i < kTrackSlots; ++i) {
    void* expected = nullptr;
    if (g_tracked[i].compare_exchange_strong(expected, native)) return i;
  }
  interrupt_platform_free(native);
  return -1;
}

void interrupt_untrack(int64_t handle) {
  if (handle < 0 || handle >= kTrackSlots) return;
  void* native = g_tracked[handle].exchange(nullptr);
  while (g_handlers.load() != 0) std::this_thread::yield();
  interrupt_platform_free(native);
}

bool interrupt_signalled(int code) {
  g_handlers.fetch_add(1);
  int expected = 0;
  bool first = g_code.compare_exchange_strong(expected, code);
  remove_tracked();
  g_handlers.fetch_sub(1);
  return first;
}

void interrupt_note_converted() {
  g_converted.fetch_add(1, std::memory_order_relaxed);
}

void interrupt_exit() {
  remove_tracked();
  log_status_clear();
  QLOG(LOG_ERROR, "Interrupted: %llu logs converted, the log in progress left as it was",
       static_cast<unsigned long long>(g_converted.load()));
  interrupt_platform_exit(g_code.load());
}

void interrupt_set_for_test(bool on) {
  g_code.store(on ? 2 : 0);
}

}  // namespace quarrow
