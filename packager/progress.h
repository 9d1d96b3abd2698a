// The builder's progress display, and its window: "Postęp trasmisji" with
// the file's name and a bar from 0 to 100.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/dialogs.h"

class TProgressDisplay {
 public:
  virtual ~TProgressDisplay() = default;
  virtual void Show(const std::string& label) = 0;
  virtual void SetPosition(int percent) = 0;
  virtual void Hide() = 0;
};

class TBelkaPostepu : public TProgressDisplay {
 public:
  // The one window of the run, made on first use and kept until the program
  // ends.
  static TBelkaPostepu& Instance();

  void Show(const std::string& label) override { FWindow.Show(label); }
  void SetPosition(int percent) override { FWindow.SetPosition(percent); }
  void Hide() override { FWindow.Hide(); }

 private:
  TBelkaPostepu();
  plat::ProgressWindow FWindow;
};

// The bar's position for `copied` of `total` bytes, 0 to 100; computed in 64
// bits, because copied * 100 leaves 32 bits above about 21 MB.
int ProgressPercent(std::int64_t copied, std::int64_t total);
