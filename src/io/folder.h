#pragma once

#include <cstdint>
#include <memory>

#include "core/grow_array.h"
#include "core/sso_string.h"
#include "core/string_view.h"
#include "io/stream.h"

namespace quarrow {

enum PathKind : int32_t {
  PATH_OTHER = 0,
  PATH_FILE = 1,
  PATH_FOLDER = 2,
  PATH_MISSING = 3,
};

struct PathInfo {
  PathKind kind = PATH_OTHER;
  int64_t size = 0;  // files only
};

enum OpenFlags : uint32_t {
  FS_OPEN_READ = 1,
  FS_OPEN_WRITE = 2,
};

// The entries of one folder (never "." or ".."), ordered by name in
// ascending unsigned byte order: an AA tree in a pool of nodes addressed by
// 32-bit index, index 0 being the empty sentinel.
class DirListing {
 public:
  struct Node {
    uint32_t left = 0;
    uint32_t right = 0;
    uint8_t level = 0;
    SsoString name;
    PathKind kind = PATH_OTHER;
    int64_t size = 0;
  };

  DirListing();
  // Inserts a name; a name already present is left as it is. False when
  // memory is short (the listing is then unchanged).
  bool insert(StringView name, PathKind kind, int64_t size);
  // Empties the listing; the nodes go to the free list for reuse.
  void clear();
  uint32_t size() const { return count_; }
  // Calls f(const Node&) for every entry in name order.
  template <typename F>
  void for_each(F&& f) const {
    walk(root_, f);
  }

 private:
  // An AA tree of n nodes is at most 2 * log2(n + 1) levels deep, so this
  // bound holds for every pool a 32-bit index can address.
  static constexpr int kMaxDepth = 80;

  template <typename F>
  void walk(uint32_t n, F& f) const {
    // In-order walk on a fixed stack: it cannot fail half-way, which a
    // growing one could.
    uint32_t stack[kMaxDepth];
    int depth = 0;
    while (n != 0 || depth > 0) {
      while (n != 0) {
        stack[depth++] = n;
        n = nodes_[n].left;
      }
      n = stack[--depth];
      f(nodes_[n]);
      n = nodes_[n].right;
    }
  }

  uint32_t skew(uint32_t t);
  uint32_t split(uint32_t t);
  // A node for a new entry, from the free list or the pool; 0 when memory
  // is short.
  uint32_t take_node();

  GrowArray<Node> nodes_;  // nodes_[0] is the sentinel
  uint32_t root_ = 0;
  uint32_t free_head_ = 0;
  uint32_t count_ = 0;
};

// A folder through which paths are resolved: the one place that touches the
// file system (besides the file streams it opens). Operations take the path as
// given; the *_relative wrappers join it with the root first.
class Folder {
 public:
  virtual ~Folder() = default;
  // True when the query could be answered; a missing path is PATH_MISSING.
  virtual bool stat(StringView path, PathInfo* info) = 0;
  // Adds the files and folders of `path` to the listing; entries that cannot
  // be queried are left out, a folder that cannot be listed adds nothing.
  virtual void list(StringView path, DirListing* listing) = 0;
  // Creates one folder (not its parents).
  virtual bool make_folder(StringView path) = 0;
  // Deletes one file.
  virtual bool remove(StringView path) = 0;
  // Renames a file within its file system, replacing a file of the new name
  // in one step: a reader sees the old file or the new one, never neither.
  virtual bool rename(StringView from, StringView to) = 0;
  // Forces what was written to a closed file, or the entries of a folder,
  // to stable storage. False when the system reports a failure.
  virtual bool flush(StringView path) = 0;
  // FS_OPEN_READ alone: read; FS_OPEN_WRITE alone: create/truncate; both:
  // read-write; neither: null. Other bits are ignored.
  virtual ByteStream* open_file(StringView path, uint32_t flags) = 0;

  const SsoString& root() const { return root_; }

 protected:
  SsoString root_;
};

// A folder on the platform's file system, or null unless root names an
// existing folder.
std::unique_ptr<Folder> folder_open(StringView root);
// The same without the check: a folder with an empty root resolves every
// path as given. Null when memory is short.
std::unique_ptr<Folder> folder_create(StringView root);

// Appends root, "/" when both are non-empty and the root does not already end
// with one, then relative to out. A relative path of exactly ".." appends
// nothing after the root. The *_relative wrappers build their paths the same
// way (".." included) and fail for a null folder.
bool folder_join(const Folder* folder, StringView relative, SsoString* out);

ByteStream* folder_open_relative(Folder* folder, StringView relative, uint32_t flags);
bool folder_remove_relative(Folder* folder, StringView relative);
bool folder_stat_relative(Folder* folder, StringView relative, PathInfo* info);
bool folder_rename_relative(Folder* folder, StringView from, StringView to);
bool folder_flush_relative(Folder* folder, StringView relative);

// What the platform folders' open_file does: maps the flags to a file mode
// and opens a zero-terminated copy of the path. Null for flags with neither
// read nor write, and for a path with an embedded zero byte, on which the
// platform would silently act on its prefix.
ByteStream* file_stream_open_path(StringView path, uint32_t flags);

// The process's working directory with "/" separators; false on failure.
bool current_directory(SsoString* out);

// Makes a command-line path absolute with "/" separators; a folder ends with
// "/", a file does not. Logs "Could not stat path %s" when the path cannot be
// queried.
void path_normalize(SsoString* path);

}  // namespace quarrow
