// Output folders, made in a real folder.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "support.h"
#include "test_support.h"

namespace kel::testing {
namespace {

TEST(CreateFolders, MakesTheFoldersOfAnOutputPathShortestFirst) {
  ScopedTempDir dir;
  ASSERT_EQ(symlink("nowhere", (dir / "gone").c_str()), 0);
  const std::filesystem::path home = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  const std::string absolute = dir / "abs/f.bin";
  struct Row { const char* name; std::string path; int result; std::string after; };
  const Row rows[] = {
      {"no separator", "file.bin", 0, "file.bin"},
      {"mixed separators", "out/sub\\file.bin", 0, "out/sub\\file.bin"},
      {"folders that exist", "out\\sub/again.bin", 0, "out\\sub/again.bin"},
      {"a trailing separator", "t\\u\\", 0, "t\\u\\"},
      // The empty prefix in front of the leading separator is the root.
      {"an absolute path", absolute, 0, absolute},
      // gone is a dangling link: its sub-folder has no parent; the path stops there.
      {"a missing parent", "gone/x/y/f.bin", -1, "gone/x"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string path = row.path;
    EXPECT_EQ(CreateFolders(path), row.result);
    EXPECT_EQ(path, row.after);
  }
  std::filesystem::current_path(home);
  EXPECT_EQ(ListTree(dir.path()), (std::vector<std::string>{"abs/", "gone", "out/", "out/sub/", "t/", "t/u/"}));
}

}  // namespace
}  // namespace kel::testing
