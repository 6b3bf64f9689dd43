// Output folders, made in a real folder.
#include "support.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "test_support.h"

namespace kel::testing {
namespace {

TEST(OutputFolders, MakesTheFoldersOfAnOutputPathShortestFirst) {
  ScopedTempDir dir;
  namespace fs = std::filesystem;
  fs::create_directory(dir / "d");
  // A dangling link, a link that leads out of the destination and one that
  // stays inside. Windows lets only the privileged make links: there the
  // rows that need them are left out.
#ifdef _WIN32
  constexpr bool kLinks = false;
#else
  constexpr bool kLinks = true;
  fs::create_symlink("nowhere", dir / "d/gone");
  fs::create_directory_symlink("..", dir / "d/up");
  fs::create_directory_symlink("t", dir / "d/in");
#endif
  const fs::path home = fs::current_path();
  fs::current_path(dir / "d");
  const std::string absolute = dir / "d/abs/f.bin";
  std::string deep = "deep";
  while (deep.size() < 300) deep += "/abcdefghi";
  using R = OutputFolders;
  struct Row {
    const char* name;
    std::string destDir, path;
    R::Result result;
    std::string after;
    bool links = false;
  };
  const Row rows[] = {
      {"no separator", "", "file.bin", R::kReady, "file.bin"},
      {"mixed separators", "", "out/sub\\file.bin", R::kReady, "out/sub\\file.bin"},
      {"folders that exist", "", "out\\sub/again.bin", R::kReady, "out\\sub/again.bin"},
      {"a trailing separator", "", "t\\u\\", R::kReady, "t\\u\\"},
      // The empty prefix in front of the leading separator is the root.
      {"an absolute destination", dir.path() + "/", absolute, R::kReady, absolute},
      // Longer than a plain Windows path may be.
      {"a path past 260 characters", "", deep + "/f.bin", R::kReady, deep + "/f.bin"},
      // gone's sub-folder has no parent; the path stops there.
      {"a missing parent", "", "gone/x/y/f.bin", R::kMissingParent, "gone/x", true},
      {"a link leading outside", "", "up/x/f.bin", R::kOutside, "up/x/f.bin", true},
      {"a destination that is such a link", "up/", "up/y/f.bin", R::kReady, "up/y/f.bin", true},
      {"a link that stays inside", "", "in/v/f.bin", R::kReady, "in/v/f.bin", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.links && !kLinks) continue;
    std::string path = row.path;
    EXPECT_EQ(OutputFolders(row.destDir).CreateFolders(path), row.result);
    EXPECT_EQ(path, row.after);
  }
  fs::current_path(home);
  for (const std::string& made :
       std::vector<std::string>{"d/abs", "d/out/sub", "d/t/u", "d/t/v", "y", "d/" + deep}) {
    const bool throughLinks = made == "d/t/v" || made == "y";
    EXPECT_EQ(fs::is_directory(fs::symlink_status(dir / made)), kLinks || !throughLinks) << made;
  }
  EXPECT_FALSE(fs::exists(dir / "x"));
}

}  // namespace
}  // namespace kel::testing
