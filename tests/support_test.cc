// Output folders, made in a real folder.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "support.h"
#include "test_support.h"

namespace kel::testing {
namespace {

TEST(OutputFolders, MakesTheFoldersOfAnOutputPathShortestFirst) {
  ScopedTempDir dir;
  namespace fs = std::filesystem;
  fs::create_directory(dir / "d");
  // A dangling link, a link that leads out of the destination and one that stays inside.
  ASSERT_EQ(symlink("nowhere", (dir / "d/gone").c_str()) | symlink("..", (dir / "d/up").c_str()) |
                symlink("t", (dir / "d/in").c_str()), 0);
  const fs::path home = fs::current_path();
  fs::current_path(dir / "d");
  const std::string absolute = dir / "d/abs/f.bin";
  using R = OutputFolders;
  struct Row { const char* name; std::string destDir, path; R::Result result; std::string after; };
  const Row rows[] = {
      {"no separator", "", "file.bin", R::kReady, "file.bin"},
      {"mixed separators", "", "out/sub\\file.bin", R::kReady, "out/sub\\file.bin"},
      {"folders that exist", "", "out\\sub/again.bin", R::kReady, "out\\sub/again.bin"},
      {"a trailing separator", "", "t\\u\\", R::kReady, "t\\u\\"},
      // The empty prefix in front of the leading separator is the root.
      {"an absolute destination", dir.path() + "/", absolute, R::kReady, absolute},
      // gone's sub-folder has no parent; the path stops there.
      {"a missing parent", "", "gone/x/y/f.bin", R::kMissingParent, "gone/x"},
      {"a link leading outside", "", "up/x/f.bin", R::kOutside, "up/x/f.bin"},
      {"a destination that is such a link", "up/", "up/y/f.bin", R::kReady, "up/y/f.bin"},
      {"a link that stays inside", "", "in/v/f.bin", R::kReady, "in/v/f.bin"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string path = row.path;
    EXPECT_EQ(OutputFolders(row.destDir).CreateFolders(path), row.result);
    EXPECT_EQ(path, row.after);
  }
  fs::current_path(home);
  for (const char* made : {"d/abs", "d/out/sub", "d/t/u", "d/t/v", "y"}) {
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(dir / made))) << made;
  }
  EXPECT_FALSE(fs::exists(dir / "x"));
}

}  // namespace
}  // namespace kel::testing
