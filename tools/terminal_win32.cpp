#include <io.h>
#include <stdio.h>

#include "terminal.h"

namespace korvane::tool {

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

}  // namespace korvane::tool
