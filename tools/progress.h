#ifndef KORVANE_TOOLS_PROGRESS_H
#define KORVANE_TOOLS_PROGRESS_H

#include <cstddef>

namespace korvane::tool {

// A progress bar on stderr, drawn only when stderr is a terminal and the transfer has more
// than one block.
class Progress {
 public:
  Progress(const char* what, std::size_t total, std::size_t block);
  ~Progress();
  void Update(std::size_t done);
  // Ends the bar's line, so that output after it starts on a line of its own.
  void Finish();

 private:
  const char* what_;
  std::size_t total_;
  bool shown_;
};

}  // namespace korvane::tool

#endif
