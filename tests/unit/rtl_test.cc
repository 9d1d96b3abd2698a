#include <gtest/gtest.h>

#include "rtl/classes.h"
#include "rtl/sysutils.h"

namespace {

TEST(FileStream, MissingFileNamesThePath) {
  try {
    TFileStream f("no/such/dir/article.txt", fmOpenRead | fmShareDenyWrite);
    FAIL() << "opened a missing file";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Cannot open file no/such/dir/article.txt");
  }
}

TEST(Streams, MemoryAndFileRoundTrip) {
  TMemoryStream m;
  m.WriteBuffer("hello\0world", 11);
  EXPECT_EQ(m.Size(), 11);
  m.SetPosition(6);
  char buf[16] = {};
  EXPECT_EQ(m.Read(buf, sizeof buf), 5);
  EXPECT_STREQ(buf, "world");
  EXPECT_EQ(m.Read(buf, sizeof buf), 0);

  std::string path = "rtl_test_stream.tmp";
  {
    TFileStream out(path, fmCreate);
    out.WriteBuffer(m.Memory(), 11);
  }
  TFileStream in(path, fmOpenRead | fmShareDenyWrite);
  EXPECT_EQ(in.Size(), 11);
  char back[11];
  EXPECT_EQ(in.Read(back, 11), 11);
  EXPECT_EQ(std::string(back, 11), std::string("hello\0world", 11));
  std::remove(path.c_str());
}

class Probe : public TComponent {
 public:
  Probe(TComponent* owner, std::vector<std::string>* log, std::string name)
      : TComponent(owner), log_(log) {
    Name = std::move(name);
  }
  ~Probe() override {
    log_->push_back(Name + (Owner() ? " owned" : " free") + (Destroying() ? " destroying" : ""));
  }

 private:
  std::vector<std::string>* log_;
};

TEST(Component, OwnerFreesWhatItOwns) {
  std::vector<std::string> log;
  auto* root = new Probe(nullptr, &log, "root");
  new Probe(root, &log, "a");
  auto* b = new Probe(root, &log, "b");
  EXPECT_EQ(root->ComponentCount(), 2);
  delete b;  // a component freed early leaves its owner
  EXPECT_EQ(root->ComponentCount(), 1);
  delete root;
  EXPECT_EQ(log, (std::vector<std::string>{"b owned", "root free", "a free destroying"}));
}

TEST(Text, TrimAndNames) {
  EXPECT_EQ(Trim(" \t host \r\n"), "host");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_TRUE(SameText("/UZYCIE", "/uzycie"));
  EXPECT_FALSE(SameText("/uzycie ", "/uzycie"));
  EXPECT_EQ(ChangeFileExt("kestrun", ".txt"), "kestrun.txt");
  EXPECT_EQ(ChangeFileExt("kestrun.exe", ""), "kestrun");
  EXPECT_EQ(Format("%s/%.2d", "a", 7), "a/07");
}

}  // namespace
