#include "bus/frame_sink.h"

#include <memory>

#include "bus/frame_iterator.h"

namespace quarrow {

bool FrameSink::init(Folder* input, Folder* output, bool create_folders,
                     ConverterSettings* settings) {
  if (!input || !output || !settings) return false;
  input_ = input;
  output_ = output;
  create_folders_ = create_folders;
  settings_ = settings;
  return on_init();
}

GroupReadResult FrameSink::read_group(DgBlock* group, const GroupList&) {
  GroupReadResult result{true, false};
  std::unique_ptr<FrameIterator> frames = frame_iterator_create(group);
  if (!frames) return result;
  for (const Frame* frame = frames->first(); frame; frame = frames->next()) {
    result.frames_ok = on_frame(*frame) && result.frames_ok;
  }
  result.read_failed = frames->read_failed();
  return result;
}

}  // namespace quarrow
