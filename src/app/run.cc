#include "app/run.h"

#include "app/batch.h"
#include "app/settings.h"
#include "csv/csv_sink.h"
#include "io/interrupt.h"
#include "log/log.h"

namespace quarrow {

int app_run(ConverterSettings* settings) {
  auto sink = csv_sink_create(settings->input_folder.get(), settings->output_folder(), settings);
  if (!sink) {
    // Converting nothing must not look like success to a script.
    QLOG(LOG_FATAL, "Could not create the CSV writer");
    return kStatusStartup;
  }
  settings->show_progress = !settings->non_interactive && log_stderr_is_terminal();
  // Without handlers an interruption still ends the run; only the cleanup
  // and the report are lost.
  (void)interrupt_install();
  int status = run_batch(sink.get(), settings->inputs);
  if (interrupted()) interrupt_exit();
  return status;
}

}  // namespace quarrow
