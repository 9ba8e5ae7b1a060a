#include "update/CopyMeter.h"

#include <algorithm>

namespace quennel {

void CopyMeter::Update(std::uint64_t copied, std::uint64_t total) {
  if (total == 0) return;
  const auto now = platform_.process.Now();
  if (now - start_ < kProgressDelay) return;
  const bool done = copied >= total;
  if (shown_ && !done && now - lastShown_ < kProgressRedraw) return;
  shown_ = true;
  lastShown_ = now;
  const double fraction = std::min(1.0, static_cast<double>(copied) / static_cast<double>(total));
  platform_.screen.ShowCopyProgress(fraction);
}

}  // namespace quennel
