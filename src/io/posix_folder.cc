#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "io/folder.h"

namespace quarrow {

namespace {

// A zero-terminated copy for the platform. A path with an embedded zero byte
// is refused: the platform would silently act on its prefix instead.
bool platform_path(StringView path, SsoString* out) {
  if (path.size > 0 && std::memchr(path.data, 0, path.size) != nullptr) return false;
  return out->assign(path);
}

class PosixFolder : public Folder {
 public:
  bool init(StringView root) { return root_.assign(root); }

  bool stat(StringView path, PathInfo* info) override {
    SsoString c_path;
    if (!platform_path(path, &c_path)) return false;
    // Trailing separators are ignored, as the other platform does, so "x.MF4/"
    // still names the file x.MF4.
    uint64_t size = c_path.size();
    while (size > 1 && c_path[size - 1] == '/') --size;
    c_path.truncate(size);

    struct stat st;
    if (::stat(c_path.c_str(), &st) != 0) {
      if (errno != ENOENT && errno != ENOTDIR) return false;
      info->kind = PATH_MISSING;
      info->size = 0;
      return true;
    }
    info->size = 0;
    if (S_ISREG(st.st_mode)) {
      info->kind = PATH_FILE;
      info->size = static_cast<int64_t>(st.st_size);
    } else if (S_ISDIR(st.st_mode)) {
      info->kind = PATH_FOLDER;
    } else {
      info->kind = PATH_OTHER;
    }
    return true;
  }

  void list(StringView path, DirListing* listing) override {
    SsoString c_path;
    if (!platform_path(path, &c_path)) return;
    DIR* dir = opendir(c_path.c_str());
    if (!dir) return;
    if (!c_path.empty() && !c_path.view().ends_with('/')) c_path.push_back('/');
    uint64_t base = c_path.size();
    while (struct dirent* entry = readdir(dir)) {
      const char* name = entry->d_name;
      if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
      c_path.truncate(base);
      PathInfo info;
      if (!c_path.append(name) || !stat(c_path, &info)) continue;
      if (info.kind == PATH_FILE || info.kind == PATH_FOLDER) {
        listing->insert(name, info.kind, info.size);
      }
    }
    closedir(dir);
  }

  bool make_folder(StringView path) override {
    SsoString c_path;
    return platform_path(path, &c_path) && mkdir(c_path.c_str(), 0777) == 0;
  }

  bool remove(StringView path) override {
    SsoString c_path;
    return platform_path(path, &c_path) && unlink(c_path.c_str()) == 0;
  }

  bool rename(StringView from, StringView to) override {
    SsoString c_from, c_to;
    return platform_path(from, &c_from) && platform_path(to, &c_to) &&
           ::rename(c_from.c_str(), c_to.c_str()) == 0;
  }

  bool flush(StringView path) override {
    SsoString c_path;
    if (!platform_path(path, &c_path)) return false;
    // An empty path names the working folder, as it does for the rest.
    int fd = ::open(c_path.empty() ? "." : c_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
  }

  ByteStream* open_file(StringView path, uint32_t flags) override {
    return file_stream_open_path(path, flags);
  }
};

}  // namespace

std::unique_ptr<Folder> folder_create(StringView root) {
  std::unique_ptr<PosixFolder> folder(new (std::nothrow) PosixFolder());
  if (!folder || !folder->init(root)) return nullptr;
  return folder;
}

bool current_directory(SsoString* out) {
  // The working directory may be longer than PATH_MAX on Linux; grow until it
  // fits rather than refuse a deep one.
  for (uint64_t capacity = 4096; capacity <= (uint64_t{1} << 20); capacity *= 2) {
    char* buffer = static_cast<char*>(std::malloc(capacity));
    if (!buffer) return false;
    bool ok = getcwd(buffer, capacity) != nullptr;
    bool retry = !ok && errno == ERANGE;
    ok = ok && out->assign(buffer);
    std::free(buffer);
    if (ok) return true;
    if (!retry) return false;
  }
  return false;
}

}  // namespace quarrow
