#include "io/table_file.h"

#include <mutex>

#include "core/hash_map.h"
#include "io/folder.h"
#include "io/interrupt.h"
#include "io/stream.h"
#include "log/log.h"

namespace quarrow {

namespace {

constexpr char kPartSuffix[] = ".part";

StringView folder_of(StringView path) {
  return path.prefix(static_cast<uint64_t>(path.rfind('/') + 1));
}

// The table a temporary name belongs to, and the process that wrote it:
// ".<table>.<pid>.part". False for any other name.
bool parse_temporary(StringView name, StringView* table, int64_t* pid) {
  StringView suffix(kPartSuffix);
  if (name.size < suffix.size + 4 || name[0] != '.' ||
      !(name.suffix_from(name.size - suffix.size) == suffix)) {
    return false;
  }
  StringView rest = name.prefix(name.size - suffix.size);
  int64_t dot = rest.rfind('.');
  if (dot < 2 || static_cast<uint64_t>(dot) + 1 == rest.size ||
      rest.size - static_cast<uint64_t>(dot) > 19) {
    return false;
  }
  int64_t value = 0;
  for (uint64_t i = static_cast<uint64_t>(dot) + 1; i < rest.size; ++i) {
    if (rest[i] < '0' || rest[i] > '9') return false;
    value = value * 10 + (rest[i] - '0');
  }
  *table = rest.prefix(static_cast<uint64_t>(dot)).suffix_from(1);
  *pid = value;
  return true;
}

// The temporaries of processes gone, found in the output folders, each
// folder looked at once per run: the first time a table is written there.
struct Leftover {
  SsoString table;      // full path of the table it was to become
  SsoString temporary;  // full path of the file
};

std::mutex g_leftover_mutex;
HashMap<SsoString, bool> g_scanned_folders;
GrowArray<Leftover> g_leftovers;

void scan_folder(Folder* folder, StringView folder_path) {
  DirListing listing;
  // An empty folder part names the working folder.
  folder->list(folder_path.empty() ? StringView(".") : folder_path, &listing);
  int64_t self = process_id();
  listing.for_each([&](const DirListing::Node& entry) {
    StringView table;
    int64_t pid;
    if (entry.kind != PATH_FILE || !parse_temporary(entry.name, &table, &pid) || pid == self ||
        process_running(pid)) {
      return;
    }
    Leftover leftover;
    if (leftover.table.assign(folder_path) && leftover.table.append(table) &&
        leftover.temporary.assign(folder_path) && leftover.temporary.append(entry.name)) {
      (void)g_leftovers.append(std::move(leftover));
    }
  });
}

void remove_leftovers(Folder* folder, StringView path) {
  SsoString full;
  if (!folder_join(folder, path, &full)) return;
  StringView folder_path = folder_of(full);
  std::lock_guard<std::mutex> lock(g_leftover_mutex);
  if (!g_scanned_folders.find(folder_path)) {
    SsoString key;
    // Without room to remember the folder, it is looked at again next time.
    if (key.assign(folder_path)) (void)g_scanned_folders.insert(std::move(key));
    scan_folder(folder, folder_path);
  }
  for (uint64_t i = 0; i < g_leftovers.size();) {
    Leftover& leftover = g_leftovers[i];
    if (!(leftover.table.view() == full.view())) {
      ++i;
      continue;
    }
    if (folder->remove(leftover.temporary)) {
      QLOG(LOG_WARN, "Removed %s, a partial table left by a run that was stopped",
           leftover.temporary.c_str());
    }
    std::swap(leftover, g_leftovers.back());
    g_leftovers.pop_back();
  }
}

}  // namespace

bool table_temporary_path(StringView path, int64_t pid, SsoString* out) {
  StringView folder_part = folder_of(path);
  return out->assign(folder_part) && out->push_back('.') &&
         out->append(path.suffix_from(folder_part.size)) &&
         out->append_format(".%lld%s", static_cast<long long>(pid), kPartSuffix) >= 0;
}

TableFile::~TableFile() {
  if (stream_) stream_close(stream_);
  stream_ = nullptr;
  drop_temporary();
}

bool TableFile::open(Folder* folder, StringView path) {
  folder_ = folder;
  if (!path_.assign(path) || !table_temporary_path(path, process_id(), &temporary_)) {
    return false;
  }
  remove_leftovers(folder, path);
  SsoString full;
  if (!folder_join(folder, temporary_, &full)) return false;
  // Tracked before it exists: an interruption from here on removes it.
  tracked_ = interrupt_track(full);
  if (tracked_ < 0) return false;
  pending_ = true;
  if (interrupted()) return false;
  stream_ = folder_open_relative(folder, temporary_, FS_OPEN_WRITE);
  return stream_ != nullptr;
}

bool TableFile::close() {
  if (!stream_) return false;
  bool ok = stream_close(stream_) == 0;
  stream_ = nullptr;
  return ok;
}

void TableFile::drop_temporary() {
  if (pending_) (void)folder_remove_relative(folder_, temporary_);
  pending_ = false;
  interrupt_untrack(tracked_);
  tracked_ = -1;
}

bool TableFile::commit(bool flush) {
  if (stream_ && !close()) {
    drop_temporary();
    return false;
  }
  if (!pending_ || interrupted() || (flush && !folder_flush_relative(folder_, temporary_)) ||
      !folder_rename_relative(folder_, temporary_, path_)) {
    drop_temporary();
    return false;
  }
  pending_ = false;
  interrupt_untrack(tracked_);
  tracked_ = -1;
  return true;
}

bool TableFile::abandon() {
  if (stream_) close();
  bool ok = !pending_ || folder_remove_relative(folder_, temporary_);
  pending_ = false;
  drop_temporary();
  if (!folder_ || folder_remove_relative(folder_, path_)) return ok;
  // A table that was not there is gone all the same.
  PathInfo info;
  return ok && folder_stat_relative(folder_, path_, &info) && info.kind == PATH_MISSING;
}

bool table_folder_flush(Folder* folder, StringView path) {
  return folder_flush_relative(folder, folder_of(path));
}

}  // namespace quarrow
