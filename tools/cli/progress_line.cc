#include "progress_line.h"

#include <cstdio>
#include <unistd.h>

namespace kovrel_cli {

ProgressLine::ProgressLine() : enabled_(isatty(STDERR_FILENO) == 1) {}

void ProgressLine::update(uint64_t changes, uint32_t percent) {
    if (!enabled_)
        return;
    // \r returns to the start of the line, ESC [K erases what was there.
    std::fprintf(stderr, "\r\033[Kkovrel diff: %llu changes, %u%%",
                 static_cast<unsigned long long>(changes), percent);
    std::fflush(stderr);
    shown_ = true;
}

void ProgressLine::clear() {
    if (!shown_)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    shown_ = false;
}

} // namespace kovrel_cli
