#include "packager/progress.h"

#include "host/console.h"

TBelkaPostepu::TBelkaPostepu() : FWindow(AnsiText("Postęp trasmisji")) {}

TBelkaPostepu& TBelkaPostepu::Instance() {
  static TBelkaPostepu* window = new TBelkaPostepu;  // lives as long as the application
  return *window;
}

int ProgressPercent(std::int64_t copied, std::int64_t total) {
  if (total <= 0) return 0;
  std::int64_t p = copied * 100 / total;
  return static_cast<int>(p < 0 ? 0 : p > 100 ? 100 : p);
}
