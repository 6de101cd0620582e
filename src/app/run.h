#pragma once

namespace quarrow {

struct ConverterSettings;

// Converts every input of a parsed command line: creates the CSV writer,
// runs the batch and returns the exit status.
int app_run(ConverterSettings* settings);

}  // namespace quarrow
