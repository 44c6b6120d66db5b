#include "progress.h"

#include "terminal.h"

#include <cstdio>
#include <string>

namespace korvane::tool {

Progress::Progress(const char* what, std::size_t total, std::size_t block)
    : what_(what), total_(total), shown_(total > block && StderrIsTerminal()) {}

Progress::~Progress() { Finish(); }

void Progress::Finish() {
  if (shown_) std::fputs("\n", stderr);
  shown_ = false;
}

void Progress::Update(std::size_t done) {
  if (!shown_ || total_ == 0) return;
  constexpr std::size_t kWidth = 40;
  const std::size_t filled = done * kWidth / total_;
  const std::string bar = std::string(filled, '#') + std::string(kWidth - filled, ' ');
  std::fprintf(stderr, "\r%s [%s] %3zu%% %zu/%zu bytes", what_, bar.c_str(), done * 100 / total_, done, total_);
  std::fflush(stderr);
}

}  // namespace korvane::tool
