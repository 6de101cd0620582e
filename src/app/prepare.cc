#include "app/batch.h"
#include "app/cli.h"
#include "app/password_store.h"
#include "app/run.h"
#include "app/signal_files.h"
#include "app/settings.h"
#include "core/ordered_work.h"
#include "log/log.h"

namespace quarrow {

bool cli_prepare_run(ConverterSettings* settings, int* status) {
  settings->threads_per_file =
      settings->jobs > 0 ? static_cast<unsigned>(settings->jobs) : available_cores();
  if (!password_store_load(settings, status)) return false;
  QLOG(LOG_INFO, "%lld password(s) loaded", static_cast<long long>(settings->passwords.size()));
  if (!signal_files_load(settings, status)) return false;
  if (!find_common_root(settings, status)) return false;

  // A folder that cannot be opened means nothing is converted; a script must
  // not mistake that for success.
  settings->input_folder = folder_open(settings->input_root);
  if (!settings->input_folder) {
    QLOG(LOG_FATAL, "Could not open input folder %s", settings->input_root.c_str());
    *status = kStatusStartup;
    return false;
  }
  if (!settings->output_directory.empty()) {
    const SsoString& output = settings->output_directory[0];
    settings->own_output_folder = folder_open(output);
    if (!settings->own_output_folder) {
      QLOG(LOG_FATAL, "Could not open output folder %s", output.c_str());
      *status = kStatusStartup;
      return false;
    }
  }
  return true;
}

}  // namespace quarrow
