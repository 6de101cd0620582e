#pragma once

#include <cstdint>
#include <memory>

#include "bus/frame.h"
#include "core/grow_array.h"
#include "core/string_view.h"

namespace quarrow {

class Folder;
struct ConverterSettings;
struct DgBlock;
struct MdfFile;

// One channel group of a data group, as offered to a sink.
struct GroupInfo {
  StringView name;  // the group's acquisition name, empty when it has none
  uint64_t index;   // running number of the group within the input file
  FrameKind kind;
  uint64_t data_group;  // 1-based number of its data group in the file
};

using GroupList = GrowArray<GroupInfo>;

// How reading a data group went.
struct GroupReadResult {
  bool frames_ok;    // false: the sink could not take a frame
  bool read_failed;  // the records ended early because the file could not be read
};

// Receives files, channel groups and decoded frames from the per-file
// pipeline. Every callback has a default that does nothing and succeeds.
class FrameSink {
 public:
  virtual ~FrameSink() = default;

  // Fills the base; false when a folder or the settings are missing, else
  // the result of on_init().
  bool init(Folder* input, Folder* output, bool create_folders, ConverterSettings* settings);

  virtual bool on_init() { return true; }
  // A new sink of the same kind over the same folders and settings, for
  // another thread; null where the kind offers none (files are then
  // converted one at a time).
  virtual std::unique_ptr<FrameSink> another() { return nullptr; }
  // False marks the file as failed; reading goes on.
  virtual bool on_frame(const Frame& frame) {
    (void)frame;
    return true;
  }
  // False: no data group is read, on_file_end still runs, the file fails.
  virtual bool on_file_begin(StringView output_base, MdfFile* mdf) {
    (void)output_base;
    (void)mdf;
    return true;
  }
  virtual bool on_file_end(StringView output_base) {
    (void)output_base;
    return true;
  }
  // After on_file_end: what was written for the file is not to be trusted.
  virtual void discard_file(StringView output_base) { (void)output_base; }
  // False: the data group's records are not read.
  virtual bool wants_group(const GroupList& groups) {
    (void)groups;
    return true;
  }
  // Reads the records of a data group the sink wants. By default each
  // decoded frame goes to on_frame as it is read; a sink may instead keep
  // the group and decode its records when it needs them (the data group
  // lives until on_file_end has returned).
  virtual GroupReadResult read_group(DgBlock* group, const GroupList& groups);
  virtual void on_group_end(const GroupList& groups) { (void)groups; }
  // Rows in the tables this sink wrote and kept, over all its files so far.
  virtual uint64_t rows_written() const { return 0; }

  Folder* input_folder() const { return input_; }
  Folder* output_folder() const { return output_; }
  bool create_folders() const { return create_folders_; }
  ConverterSettings* settings() const { return settings_; }

 private:
  Folder* input_ = nullptr;
  Folder* output_ = nullptr;
  bool create_folders_ = false;
  ConverterSettings* settings_ = nullptr;
};

}  // namespace quarrow
