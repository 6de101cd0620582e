// Path handling on text split at NULs: the first piece normalised, all through
// the root detection, each through the splitting helpers.

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

StringView view(const std::string& s) {
  return StringView(s.data(), s.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  log_set_output_level(LOG_FATAL + 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> pieces(1);
  for (size_t i = 0; i < size && !(data[i] == 0 && pieces.size() == 8); ++i) {
    if (data[i] == 0) pieces.emplace_back();
    if (data[i] != 0) pieces.back().push_back(static_cast<char>(data[i]));
  }
  SsoString path;
  if (!path.assign(view(pieces[0]))) abort();
  path_normalize(&path);
  // No backslash stays; any path but "" comes out rooted at "/" or a drive.
  const bool drive = path.size() >= 3 && path[1] == ':';
  if (path.view().find('\\') >= 0) abort();
  if (!pieces[0].empty() && (path.size() == 0 || (path[0] != '/' && !drive))) abort();
  ConverterSettings settings;
  for (const std::string& piece : pieces) {
    StringView p = view(piece), folder = path_folder_part(p), name = path_file_name(p);
    if (folder.size + name.size != p.size || folder.data != p.data || name.find('/') >= 0) abort();
    StringView ext = path_extension(p);
    if (ext.size > name.size || ext.data + ext.size != p.data + p.size) abort();
    is_log_file(p);
    SsoString s;
    if (!s.assign(p) || !settings.inputs.append(std::move(s))) abort();
  }
  int status = 0;
  if (!find_common_root(&settings, &status)) {
    if (status != 132) abort();
    return 0;
  }
  StringView root = settings.input_root.view();
  if (!root.ends_with('/') || settings.inputs.size() != pieces.size()) abort();
  // Each input is its root followed by one name, and nothing is lost.
  for (size_t i = 0; i < pieces.size(); ++i)
    if (view(pieces[i]).prefix(root.size) != root ||
        !(settings.inputs[i].view() == view(pieces[i]).suffix_from(root.size)))
      abort();
  return 0;
}
