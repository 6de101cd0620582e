#pragma once

#include <cstdint>

#include "core/sso_string.h"
#include "core/string_view.h"

namespace quarrow {

class ByteStream;
class Folder;

// An output table that is never seen unfinished under its own name. It is
// written under a temporary name in the same folder, ".<name>.<pid>.part"
// (hidden, and no log's table can end in ".part"), and renamed into place
// once complete. While it is written the temporary file is tracked, so an
// interruption removes it.
//
// Opening a table also removes the temporaries of the same table that
// processes no longer running left behind (killed, or the power failed),
// with a warning; those of running processes, and of other tables, stay.
class TableFile {
 public:
  TableFile() = default;
  // Abandons a table neither committed nor abandoned, keeping any table of
  // its final name.
  ~TableFile();
  TableFile(const TableFile&) = delete;
  TableFile& operator=(const TableFile&) = delete;

  // Opens the temporary file of the table at path (relative to folder) for
  // writing. False when it cannot be made; nothing is logged.
  bool open(Folder* folder, StringView path);
  ByteStream* stream() const { return stream_; }
  // The table's final path, relative to the folder.
  const SsoString& path() const { return path_; }

  // Closes the stream; false when the close failed.
  bool close();
  // Renames the closed table into place, replacing a table of that name;
  // with flush, its bytes reach stable storage first. False when the run
  // was interrupted or the system failed: the temporary file is removed and
  // a table of the final name stays as it was.
  bool commit(bool flush);
  // Removes the temporary file and a table of the final name left from an
  // earlier run. False when either stays.
  bool abandon();

 private:
  void drop_temporary();

  Folder* folder_ = nullptr;
  SsoString path_;
  SsoString temporary_;
  ByteStream* stream_ = nullptr;
  bool pending_ = false;  // the temporary file may exist
  int64_t tracked_ = -1;
};

// Forces the entries of the folder holding path (relative to folder) to
// stable storage, so that renames into it survive a power loss.
bool table_folder_flush(Folder* folder, StringView path);

// The temporary name of the table at path: ".<name>.<pid>.part" in its folder.
bool table_temporary_path(StringView path, int64_t pid, SsoString* out);

}  // namespace quarrow
