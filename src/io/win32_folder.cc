#include <windows.h>

#include <new>

#include "core/win32_wide.h"
#include "io/folder.h"

namespace quarrow {

namespace {

bool is_missing(DWORD error) {
  // A share or server that does not exist, or a name the file system cannot
  // hold, names nothing there is: the same answer as a missing file.
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
         error == ERROR_INVALID_NAME || error == ERROR_BAD_NETPATH || error == ERROR_BAD_NET_NAME ||
         error == ERROR_DIRECTORY;
}

// The root of a share, "//server/share", which the system only takes with
// its trailing separator.
bool is_share_root(StringView path) {
  if (path.size < 3 || path[0] != '/' || path[1] != '/') return false;
  int separators = 0;
  for (uint64_t i = 2; i < path.size; ++i) separators += path[i] == '/';
  return separators == 1 && path[path.size - 1] != '/';
}

// The path to query: trailing separators are ignored, as on the other
// platform, so "x.MF4/" still names the file x.MF4; a drive root and a
// share root keep one.
bool query_path(StringView path, GrowArray<wchar_t>* out) {
  while (path.size > 1 && path[path.size - 1] == '/' && !(path.size == 3 && path[1] == ':')) {
    --path.size;
  }
  if (!is_share_root(path)) return wide_path(path, out);
  SsoString root;
  return root.assign(path) && root.push_back('/') && wide_path(root, out);
}

class Win32Folder : public Folder {
 public:
  bool init(StringView root) { return root_.assign(root); }

  bool stat(StringView path, PathInfo* info) override {
    GrowArray<wchar_t> wide;
    if (!query_path(path, &wide)) return false;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wide.data(), GetFileExInfoStandard, &data)) {
      if (!is_missing(GetLastError())) return false;
      info->kind = PATH_MISSING;
      info->size = 0;
      return true;
    }
    info->size = 0;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      info->kind = PATH_FOLDER;
    } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) {
      info->kind = PATH_OTHER;
    } else {
      info->kind = PATH_FILE;
      info->size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) |
                                        data.nFileSizeLow);
    }
    return true;
  }

  void list(StringView path, DirListing* listing) override {
    SsoString entry_path;
    if (!entry_path.assign(path)) return;
    if (!entry_path.empty() && !entry_path.view().ends_with('/') && !entry_path.push_back('/')) {
      return;
    }
    uint64_t base = entry_path.size();
    GrowArray<wchar_t> pattern;
    if (!entry_path.push_back('*') || !wide_path(entry_path, &pattern)) return;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileExW(pattern.data(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) return;
    SsoString name;
    do {
      const wchar_t* w = found.cFileName;
      if ((w[0] == L'.' && w[1] == 0) || (w[0] == L'.' && w[1] == L'.' && w[2] == 0)) continue;
      if (!utf8_from_wide(w, -1, &name)) continue;
      entry_path.truncate(base);
      PathInfo info;
      if (!entry_path.append(name.view()) || !stat(entry_path, &info)) continue;
      if (info.kind == PATH_FILE || info.kind == PATH_FOLDER) {
        listing->insert(name, info.kind, info.size);
      }
    } while (FindNextFileW(find, &found));
    FindClose(find);
  }

  bool make_folder(StringView path) override {
    GrowArray<wchar_t> wide;
    return wide_path(path, &wide) && CreateDirectoryW(wide.data(), nullptr);
  }

  bool remove(StringView path) override {
    GrowArray<wchar_t> wide;
    return wide_path(path, &wide) && DeleteFileW(wide.data());
  }

  bool rename(StringView from, StringView to) override {
    GrowArray<wchar_t> wide_from, wide_to;
    return wide_path(from, &wide_from) && wide_path(to, &wide_to) &&
           MoveFileExW(wide_from.data(), wide_to.data(), MOVEFILE_REPLACE_EXISTING);
  }

  bool flush(StringView path) override {
    GrowArray<wchar_t> wide;
    if (!query_path(path, &wide)) return false;
    DWORD attributes = GetFileAttributesW(wide.data());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    // The system keeps a folder's entries in its own journal; only files
    // have buffers to flush.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return true;
    HANDLE file = CreateFileW(wide.data(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = FlushFileBuffers(file);
    return CloseHandle(file) && ok;
  }

  ByteStream* open_file(StringView path, uint32_t flags) override {
    return file_stream_open_path(path, flags);
  }
};

}  // namespace

std::unique_ptr<Folder> folder_create(StringView root) {
  std::unique_ptr<Win32Folder> folder(new (std::nothrow) Win32Folder());
  if (!folder || !folder->init(root)) return nullptr;
  return folder;
}

bool current_directory(SsoString* out) {
  // The platform may hold a working directory of up to 32767 characters;
  // ask for what it needs rather than refuse a deep one.
  DWORD need = GetCurrentDirectoryW(0, nullptr);
  if (need == 0) return false;
  GrowArray<wchar_t> wide;
  if (!wide.reserve(need)) return false;
  for (DWORD i = 0; i < need; ++i) wide.append(L'\0');
  DWORD got = GetCurrentDirectoryW(need, wide.data());
  if (got == 0 || got >= need) return false;
  return utf8_path_from_wide(wide.data(), got, out);
}

}  // namespace quarrow
