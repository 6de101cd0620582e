#pragma once

namespace quarrow {

struct ConverterSettings;

// Exit status of a run that could not start converting: an input or output
// folder that cannot be opened, or no CSV writer.
inline constexpr int kStatusStartup = 133;

// Converts every input of a parsed command line: creates the CSV writer,
// runs the batch and returns the exit status.
int app_run(ConverterSettings* settings);

}  // namespace quarrow
