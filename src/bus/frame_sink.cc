#include "bus/frame_sink.h"

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

}  // namespace quarrow
