#include <unistd.h>

#include "terminal.h"

namespace korvane::tool {

bool StderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

}  // namespace korvane::tool
