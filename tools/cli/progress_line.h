// The one-line progress report of `kovrel diff` on standard error, shown only
// when standard error is a terminal.
#pragma once

#include <cstdint>

namespace kovrel_cli {

class ProgressLine {
  public:
    ProgressLine();
    ~ProgressLine() { clear(); }
    ProgressLine(const ProgressLine &) = delete;
    ProgressLine &operator=(const ProgressLine &) = delete;

    void update(uint64_t changes, uint32_t percent);
    // Removes the line, so that what follows starts on a clean line.
    void clear();

  private:
    bool enabled_;
    bool shown_ = false;
};

} // namespace kovrel_cli
