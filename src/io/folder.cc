#include "io/folder.h"

#include <cstring>

#include "io/file_stream.h"
#include "log/log.h"

namespace quarrow {

namespace {

// Unsigned byte order, a prefix before any longer name: "B.MF4" < "a.MF4",
// "10.MF4" < "9.MF4".
int compare_names(StringView a, StringView b) {
  uint64_t n = a.size < b.size ? a.size : b.size;
  int c = n == 0 ? 0 : std::memcmp(a.data, b.data, n);
  if (c != 0) return c;
  return a.size < b.size ? -1 : (a.size > b.size ? 1 : 0);
}

bool is_drive_letter_path(StringView path) {
  if (path.size < 2 || path[1] != ':') return false;
  char c = path[0];
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// root, a separator, relative. No separator is added when either side is
// empty, nor when the root already ends with one: "/" + "x" must stay "/x",
// since a leading "//" means something else to POSIX.
bool join_paths(StringView root, StringView relative, SsoString* out) {
  if (!out->append(root)) return false;
  if (!root.empty() && !relative.empty() && !root.ends_with('/') && !out->push_back('/')) {
    return false;
  }
  return relative.empty() || out->append(relative);
}

}  // namespace

DirListing::DirListing() = default;

uint32_t DirListing::take_node() {
  if (free_head_ != 0) {
    uint32_t n = free_head_;
    free_head_ = nodes_[n].right;
    return n;
  }
  if (nodes_.empty() && !nodes_.append(Node())) return 0;  // the sentinel
  if (nodes_.size() >= UINT32_MAX || !nodes_.append(Node())) return 0;
  return static_cast<uint32_t>(nodes_.size() - 1);
}

uint32_t DirListing::skew(uint32_t t) {
  uint32_t l = nodes_[t].left;
  if (l == 0 || nodes_[l].level != nodes_[t].level) return t;
  nodes_[t].left = nodes_[l].right;
  nodes_[l].right = t;
  return l;
}

uint32_t DirListing::split(uint32_t t) {
  uint32_t r = nodes_[t].right;
  if (r == 0 || nodes_[nodes_[r].right].level != nodes_[t].level) return t;
  nodes_[t].right = nodes_[r].left;
  nodes_[r].left = t;
  ++nodes_[r].level;
  return r;
}

bool DirListing::insert(StringView name, PathKind kind, int64_t size) {
  uint32_t path[kMaxDepth];
  bool went_left[kMaxDepth];
  int depth = 0;
  for (uint32_t n = root_; n != 0;) {
    int c = compare_names(nodes_[n].name, name);
    if (c == 0) return true;
    if (depth == kMaxDepth) return false;  // unreachable for a balanced tree
    path[depth] = n;
    went_left[depth] = c > 0;
    ++depth;
    n = c > 0 ? nodes_[n].left : nodes_[n].right;
  }

  uint32_t fresh = take_node();
  if (fresh == 0) return false;
  Node& node = nodes_[fresh];
  if (!node.name.assign(name)) {
    node.right = free_head_;
    free_head_ = fresh;
    return false;
  }
  node.left = node.right = 0;
  node.level = 1;
  node.kind = kind;
  node.size = size;
  ++count_;

  uint32_t child = fresh;
  for (int i = depth - 1; i >= 0; --i) {
    uint32_t t = path[i];
    if (went_left[i]) {
      nodes_[t].left = child;
    } else {
      nodes_[t].right = child;
    }
    child = split(skew(t));
  }
  root_ = child;
  return true;
}

void DirListing::clear() {
  // Every pool node becomes free, chained through its right index.
  uint64_t pool = nodes_.size();
  for (uint64_t i = 1; i < pool; ++i) {
    nodes_[i].left = 0;
    nodes_[i].right = i + 1 < pool ? static_cast<uint32_t>(i + 1) : 0;
  }
  free_head_ = pool > 1 ? 1 : 0;
  root_ = 0;
  count_ = 0;
}

std::unique_ptr<Folder> folder_open(StringView root) {
  std::unique_ptr<Folder> folder = folder_create(root);
  PathInfo info;
  if (!folder || !folder->stat(folder->root(), &info) || info.kind != PATH_FOLDER) return nullptr;
  return folder;
}

bool folder_join(const Folder* folder, StringView relative, SsoString* out) {
  if (!folder || !out) return false;
  if (relative == StringView("..")) return out->append(folder->root().view()) != nullptr;
  return join_paths(folder->root().view(), relative, out);
}

ByteStream* folder_open_relative(Folder* folder, StringView relative, uint32_t flags) {
  SsoString path;
  if (!folder || !join_paths(folder->root().view(), relative, &path)) return nullptr;
  return folder->open_file(path, flags);
}

bool folder_remove_relative(Folder* folder, StringView relative) {
  SsoString path;
  if (!folder || !join_paths(folder->root().view(), relative, &path)) return false;
  return folder->remove(path);
}

bool folder_stat_relative(Folder* folder, StringView relative, PathInfo* info) {
  SsoString path;
  if (!folder || !info || !join_paths(folder->root().view(), relative, &path)) return false;
  return folder->stat(path, info);
}

bool folder_rename_relative(Folder* folder, StringView from, StringView to) {
  SsoString old_path, new_path;
  if (!folder || !join_paths(folder->root().view(), from, &old_path) ||
      !join_paths(folder->root().view(), to, &new_path)) {
    return false;
  }
  return folder->rename(old_path, new_path);
}

bool folder_flush_relative(Folder* folder, StringView relative) {
  SsoString path;
  if (!folder || !join_paths(folder->root().view(), relative, &path)) return false;
  return folder->flush(path);
}

ByteStream* file_stream_open_path(StringView path, uint32_t flags) {
  int32_t mode;
  switch (flags & (FS_OPEN_READ | FS_OPEN_WRITE)) {
    case FS_OPEN_READ:
      mode = FILE_MODE_READ;
      break;
    case FS_OPEN_WRITE:
      mode = FILE_MODE_WRITE;
      break;
    case FS_OPEN_READ | FS_OPEN_WRITE:
      mode = FILE_MODE_UPDATE;
      break;
    default:
      return nullptr;
  }
  SsoString c_path;
  if (path.size > 0 && std::memchr(path.data, 0, path.size) != nullptr) return nullptr;
  if (!c_path.assign(path)) return nullptr;
  return file_stream_open(c_path.c_str(), mode);
}

void path_normalize(SsoString* path) {
  if (!path) return;
  char* chars = path->data();
  uint64_t size = path->size();
  for (uint64_t i = 0; i < size; ++i) {
    if (chars[i] == '\\') chars[i] = '/';
  }
  // One pass over non-overlapping pairs: "///" becomes "//". The two
  // separators that open a network path ("//server/share") stay, or logs on
  // a share could not be named at all.
  uint64_t kept = size >= 2 && chars[0] == '/' && chars[1] == '/' ? 2 : 0;
  for (uint64_t i = kept; i < size; ++i) {
    chars[kept++] = chars[i];
    if (chars[i] == '/' && i + 1 < size && chars[i + 1] == '/') ++i;
  }
  path->set_size(kept);

  if (path->size() == 2 && is_drive_letter_path(*path) && !path->push_back('/')) return;

  bool absolute = (path->size() >= 3 && is_drive_letter_path(*path)) ||
                  (path->size() >= 1 && (*path)[0] == '/');
  if (!absolute) {
    SsoString cwd;
    if (!current_directory(&cwd)) return;
    std::unique_ptr<Folder> here = folder_open(cwd);
    SsoString joined;
    if (!here || !folder_join(here.get(), *path, &joined)) return;
    *path = std::move(joined);
  }

  // A folder with an empty root resolves paths exactly as given.
  std::unique_ptr<Folder> probe = folder_create(StringView());
  PathInfo info;
  if (!folder_stat_relative(probe.get(), *path, &info)) {
    QLOG(LOG_ERROR, "Could not stat path %s", path->c_str());
    return;
  }
  if (info.kind == PATH_FOLDER && !path->view().ends_with('/')) {
    path->push_back('/');
  } else if (info.kind == PATH_FILE && path->view().ends_with('/')) {
    path->truncate(path->size() - 1);
  }
}

}  // namespace quarrow
