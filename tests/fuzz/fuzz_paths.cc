// Path handling on text split at NULs: the first piece normalised, all through
// the root detection, each through the splitting helpers.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/batch.h"
#include "app/settings.h"
#include "io/folder.h"
#include "log/log.h"

namespace {

using namespace quarrow;

constexpr size_t kMaxPieces = 8;

StringView view(const std::string& s) {
  return StringView(s.data(), s.size());
}

void check_normalize(const std::string& text) {
  SsoString path;
  if (!path.assign(view(text))) abort();
  path_normalize(&path);
  // No backslash stays; any path but "" comes out rooted at "/" or a drive.
  const bool drive = path.size() >= 3 && path[1] == ':';
  if (path.view().find('\\') >= 0) abort();
  if (!text.empty() && (path.size() == 0 || (path[0] != '/' && !drive))) abort();
}

void check_split(const std::string& text) {
  StringView p = view(text), folder = path_folder_part(p), name = path_file_name(p);
  if (folder.size + name.size != p.size || folder.data != p.data || name.find('/') >= 0) abort();
  StringView ext = path_extension(p);
  if (ext.size > name.size || ext.data + ext.size != p.data + p.size) abort();
  is_log_file(p);
}

void check_root(const std::vector<std::string>& pieces) {
  ConverterSettings settings;
  for (const std::string& piece : pieces) {
    SsoString s;
    if (!s.assign(view(piece)) || !settings.inputs.append(std::move(s))) abort();
  }
  int status = 0;
  if (!find_common_root(&settings, &status)) {
    if (status != 132) abort();
    return;
  }
  StringView root = settings.input_root.view();
  if (!root.ends_with('/') || settings.inputs.size() != pieces.size()) abort();
  // Each input is its root followed by one name, and nothing is lost.
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (view(pieces[i]).prefix(root.size) != root ||
        !(settings.inputs[i].view() == view(pieces[i]).suffix_from(root.size)))
      abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  log_set_output_level(LOG_FATAL + 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> pieces(1);
  for (size_t i = 0; i < size && !(data[i] == 0 && pieces.size() == kMaxPieces); ++i) {
    if (data[i] == 0) pieces.emplace_back();
    if (data[i] != 0) pieces.back().push_back(static_cast<char>(data[i]));
  }
  check_normalize(pieces[0]);
  for (const std::string& piece : pieces) check_split(piece);
  check_root(pieces);
  return 0;
}
