#include "app/run.h"

namespace quarrow {

int app_run(ConverterSettings*) { return 0; }

}  // namespace quarrow
