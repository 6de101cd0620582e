#include "app/cli.h"
#include "app/platform_start.h"
#include "app/run.h"
#include "log/log.h"

int main(int argc, char** argv) {
  if (!quarrow::platform_start(&argc, &argv)) {
    QLOG(quarrow::LOG_FATAL, "Could not read the command line");
    return quarrow::CLI_STATUS_NO_MEMORY;
  }
  std::unique_ptr<quarrow::ConverterSettings> settings = quarrow::settings_create();
  if (!settings) {
    QLOG(quarrow::LOG_FATAL, "Could not allocate memory for the settings");
    return quarrow::CLI_STATUS_NO_MEMORY;
  }
  int status = 0;
  if (quarrow::cli_parse(settings.get(), argc, argv, &status)) {
    status = quarrow::app_run(settings.get());
  }
  quarrow::platform_end(settings->non_interactive);
  return status;
}
