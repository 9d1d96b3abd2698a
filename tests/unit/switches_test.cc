// The maintenance switches as the program's start-up calls them, and the
// message boxes and progress window that they show. On Windows a thread of
// this program answers the boxes, which block the main thread.
#include "app/switches.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <tuple>

#include "packager/progress.h"
#include "platform/files.h"
#include "platform/testsupport.h"
#include "rtl/sysutils.h"

namespace {

// Answers message boxes until one with `lastCaption` has been answered.
std::vector<plat::testing::BoxInfo> AnswerBoxes(const std::string& lastCaption) {
  std::vector<plat::testing::BoxInfo> boxes;
  plat::testing::BoxInfo box;
  while (boxes.size() < 5 && plat::testing::AnswerMessageBox(60000, &box)) {
    boxes.push_back(box);
    if (box.caption == lastCaption) break;
  }
  return boxes;
}

TEST(Switches, OnlyTheExactNamesAreSwitches) {
  TProductIdentity identity;
  for (const char* arg :
       {"", "-Nainternet", "-NAINTERNET", "-Zarejestruj", "-zarejestruj ", "nainternet", "/bledy"})
    EXPECT_FALSE(HandleSwitch(arg, identity)) << arg;
}

// This program runs without a second argument, so the publication root is
// empty: the file is refused, the warning and then the transfer error show.
TEST(Switches, FailedPublicationShowsTheTransferError) {
  TProductIdentity identity;
  const std::string self = plat::ModuleFileName();
  const std::string warning =
      "Nie można skopiować pliku " + self + " (" + ExtractFileName(self) + ")";
  const std::string transfer = "Któregoś z plików nie udało się wysłać. Instalacja wstrzymana !";
  if (plat::testing::HasWindows()) {
    auto answered = std::async(std::launch::async, AnswerBoxes, "Błąd transferu");
    EXPECT_TRUE(HandleSwitch("-nainternet", identity));
    std::vector<plat::testing::BoxInfo> boxes = answered.get();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].caption, "Ostrzeżenie");
    EXPECT_EQ(boxes[0].text, warning);
    EXPECT_FALSE(boxes[0].icon);  // a plain box: the OK button alone
    EXPECT_EQ(boxes[1].caption, "Błąd transferu");
    EXPECT_EQ(boxes[1].text, transfer);
    EXPECT_TRUE(boxes[1].errorIcon);
  } else {
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(HandleSwitch("-nainternet", identity));
    std::string err = ::testing::internal::GetCapturedStderr();
    // Standard error in the locale's encoding; the tests run with UTF-8.
    EXPECT_EQ(err, "Ostrzeżenie: " + warning + "\nBłąd transferu: " + transfer + "\n");
  }
}

TEST(ProgressWindow, IsARealWindowOfFixedLayout) {
  if (!plat::testing::HasWindows()) GTEST_SKIP() << "a progress line on a terminal there";
  TBelkaPostepu& window = TBelkaPostepu::Instance();
  window.Show("kestrun.exe.zawartosc");
  window.SetPosition(42);
  plat::testing::ProgressInfo info;
  ASSERT_TRUE(plat::testing::InspectProgressWindow("Postęp trasmisji", &info));
  EXPECT_TRUE(info.visible);
  // Place and client area; the label; the bar's place, size and range.
  EXPECT_EQ(std::tuple(info.left, info.top, info.clientWidth, info.clientHeight),
            std::tuple(260, 283, 475, 60));
  EXPECT_EQ(std::tuple(info.label, info.labelLeft, info.labelTop, info.fontFace),
            std::tuple("kestrun.exe.zawartosc", 8, 8, "MS Sans Serif"));
  EXPECT_EQ(std::tuple(info.barLeft, info.barTop, info.barWidth, info.barHeight),
            std::tuple(8, 32, 457, 16));
  EXPECT_EQ(std::tuple(info.position, info.minimum, info.maximum, info.step),
            std::tuple(42, 0, 100, 3));
  window.Hide();
  ASSERT_TRUE(plat::testing::InspectProgressWindow("Postęp trasmisji", &info));
  EXPECT_FALSE(info.visible);
}

}  // namespace
