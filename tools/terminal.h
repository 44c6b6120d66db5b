#ifndef KORVANE_TOOLS_TERMINAL_H
#define KORVANE_TOOLS_TERMINAL_H

namespace korvane::tool {

bool StderrIsTerminal();

}  // namespace korvane::tool

#endif
