// Runs the real kel binary to extract: everything with -d, one stored file
// by its address, and raw byte ranges, in the C locale (Shift-JIS) and under
// C.utf8. Stored data are the plain bytes XORed with 0xC6. The archives here
// place each stored file at an address of its own, from 0x10000 on in tree
// order (an empty file takes one byte too), so each can be fetched by address.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <filesystem>
#include <random>
#include <utility>

#include "archive_writer.h"
#include "test_support.h"

namespace kel::testing {
namespace {

const char* const kLocales[] = {"C", "C.utf8"};  // Shift-JIS and UTF-8
constexpr uint64_t kMiB = 1 << 20;

struct Stored {
  std::string path;  // UTF-8, folders joined by backslashes
  uint64_t address;
  std::string data;
};

std::string Xored(std::string bytes) {
  for (char& c : bytes) c ^= static_cast<char>(0xC6);
  return bytes;
}

std::string Random(size_t size) {
  static std::mt19937 random(7);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// Stores the UTF-8 names as Shift-JIS and gives the next address to each
// stored file that names none.
void Place(std::vector<Node>& nodes, const std::string& folder, uint64_t& next, std::vector<Stored>& files) {
  for (Node& node : nodes) {
    const std::string path = folder + node.name;
    node.name = InLocale(node.name, "C");
    if (node.folder) {
      Place(node.children, path + "\\", next, files);
    } else {
      if (!node.address) node.address = std::exchange(next, next + std::max<uint64_t>(node.data.size(), 1));
      files.push_back({path, *node.address, node.data});
    }
  }
}

Archive Build(std::vector<Node> tree, std::vector<Stored>* files = nullptr) {
  std::vector<Stored> placed;
  uint64_t next = 0x10000;
  Place(tree, "", next, placed);
  Archive archive = BuildArchive(tree);
  for (const Stored& file : placed) archive.Add(file.address, Xored(file.data));
  if (files != nullptr) *files = placed;
  return archive;
}

TEST(Extract, AllAndByAddressRecreateTheTree) {
  Node above4GiB = File("mib1.bin", Random(kMiB + 1));
  above4GiB.address = 0x100000010;
  // The second byte of 表 is a backslash in Shift-JIS.
  std::vector<Stored> files;
  const Archive archive =
      Build({File("top.bin", Random(300)),
             Folder("a", {File("empty", ""), Folder("b", {Folder("c", {File("deep.bin", Random(4000))})}),
                          File("mib.bin", Random(kMiB))}),
             Folder("表", {File("日本語.txt", Random(77)), above4GiB}), File("zero", "")},
            &files);
  ScopedTempDir dir;
  ASSERT_TRUE(archive.WriteTo(dir / "a.kel"));
  for (const char* locale : kLocales) {
    SCOPED_TRACE(locale);
    const std::string cwd = dir / locale;
    std::filesystem::create_directories(cwd + "/e");
    // An absolute destination: its leading separator is the root.
    RunResult result = RunKel({"-d", dir / "a.kel", cwd + "/out"}, {locale, cwd});
    EXPECT_EQ(result.out, "Extract to " + cwd + "/out\\.\n" +
                              InLocale("top.bin 300 bytes.\na\\empty 0 bytes\na\\b\\c\\deep.bin 4,000 bytes.\n"
                                       "a\\mib.bin 1,048,576 bytes.\n表\\日本語.txt 77 bytes.\n"
                                       "表\\mib1.bin 1,048,577 bytes..\nzero 0 bytes\n",
                                       locale));
    EXPECT_EQ(result.status, 0);
    std::vector<std::string> tree = {"a/",      "a/b/", "a/b/c/", "a/b/c/deep.bin", "a/empty",      "a/mib.bin",
                                     "top.bin", "zero", "表/",    "表/mib1.bin",    "表/日本語.txt"};
    for (std::string& path : tree) path = InLocale(path, locale);
    EXPECT_EQ(ListTree(cwd + "/out"), tree);
    for (const Stored& file : files) {
      const std::string bare = InLocale(file.path.substr(file.path.rfind('\\') + 1), locale);
      SCOPED_TRACE(bare);
      std::string onDisk = file.path;
      std::replace(onDisk.begin(), onDisk.end(), '\\', '/');
      EXPECT_EQ(ReadFile(cwd + "/out/" + InLocale(onDisk, locale)), file.data);
      char head[64];
      snprintf(head, sizeof head, "Extract 0x%08" PRIX64 "-%08zX to e\\", file.address, file.data.size());
      result = RunKel({"-e", dir / "a.kel", std::to_string(file.address), "e"}, {locale, cwd});
      EXPECT_EQ(result.out, head + bare + "\n");
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(ReadFile(cwd + "/e/" + bare), file.data);
    }
  }
}

TEST(Extract, RangesCopyWhatExistsAndRefuseBadOperands) {
  const std::string archive = Random(600);
  const struct {
    const char* name;
    std::vector<std::string> args;  // address, size, output
    std::string out;                // UTF-8; Shift-JIS in the C locale
    int status;
    std::string written;  // what the output holds afterwards
  } rows[] = {
      {"32 bytes", {"0x100", "0x20", "out.bin"}, "Extract 0x00000100-00000020 to out.bin\n", 0,
       Xored(archive.substr(256, 32))},
      {"to the end", {"0x100", "-1", "out.bin"}, "Extract 0x00000100-FFFFFFFF to out.bin\n", 0,
       Xored(archive.substr(256))},
      {"to the end from the end", {"600", "-1", "out.bin"}, "Extract 0x00000258-FFFFFFFF to out.bin\n", 0, ""},
      {"past the end", {"512", "256", "out.bin"},
       "Extract 0x00000200-00000100 to out.bin\nerror : 範囲がアーカイブの終端を越えています(168bytes不足).\n", 255,
       Xored(archive.substr(512))},
      // Refused before the output is opened: it keeps its old bytes.
      {"negative address", {"-5", "16", "out.bin"},
       "Extract 0xFFFFFFFFFFFFFFFB-00000010 to out.bin\nerror : 不正なアドレスです(-5).\n", 255, "old"},
      {"size below -1", {"16", "-2", "out.bin"},
       "Extract 0x00000010-FFFFFFFE to out.bin\nerror : 不正なサイズです(-2).\n", 255, "old"},
      {"to the end from past the end", {"601", "-1", "out.bin"},
       "Extract 0x00000259-FFFFFFFF to out.bin\nerror : アドレスがアーカイブの終端を越えています(0x00000259).\n", 255, "old"},
      {"the archive itself", {"0", "-1", "a.kel"},
       "Extract 0x00000000-FFFFFFFF to a.kel\nerror : ファイルオープンに失敗(a.kel).\n", 255, archive},
      // A device is not read back.
      {"a full disk", {"0x100", "0x20", "/dev/full"},
       "Extract 0x00000100-00000020 to /dev/full\nerror : ファイル書き込みに失敗(/dev/full).\n", 255, ""},
  };
  ScopedTempDir dir;
  for (const char* locale : kLocales) {
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(locale) + ": " + row.name);
      WriteFile(dir / "a.kel", archive);
      WriteFile(dir / "out.bin", "old");
      RunResult result = RunKel({"-e", "a.kel", row.args[0], row.args[1], row.args[2]}, {locale, dir.path()});
      EXPECT_EQ(result.out, InLocale(row.out, locale));
      EXPECT_EQ(result.status, row.status);
      if (row.args[2][0] != '/') {
        EXPECT_EQ(ReadFile(dir / row.args[2]), row.written);
      }
    }
  }
}

// Unsafe names, the archive itself and an existing folder as outputs: each
// fails alone, the others are written, and nothing lands outside.
TEST(Extract, FailedFilesLeaveEverythingElseAsItWas) {
  const Archive archive =
      Build({File("good.txt", "good"), File("..\\..\\escape.txt", "e"), File("\\kel-e2e-abs.txt", "a"),
             File("/kel-e2e-abs2.txt", "b"), File("fwd/../../fwd.txt", "f"), File("a.kel", "arc"), File("dir", "dir"),
             Folder("sub", {File("ok.txt", "ok")}), File("C:drive.txt", "c")});
  const std::string refused = "error : 安全でないパスのため書き出しません(";
  const std::string unsafe = refused + "..\\..\\escape.txt).\n" + refused + "\\kel-e2e-abs.txt).\n" + refused +
                             "/kel-e2e-abs2.txt).\n" + refused + "fwd/../../fwd.txt).\n";
  const std::vector<std::string> before = {"x/", "x/y/", "x/y/a.kel", "x/y/dir/"};
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string out;                // UTF-8; Shift-JIS in the C locale
    std::vector<std::string> tree;  // below the test's folder afterwards
  } rows[] = {
      {"into a folder", {"-d", "a.kel", "z"},
       "Extract to z\\.\ngood.txt 4 bytes.\n" + unsafe + "a.kel 3 bytes.\ndir 3 bytes.\nsub\\ok.txt 2 bytes.\n" +
           refused + "C:drive.txt).\n",
       {"x/", "x/y/", "x/y/a.kel", "x/y/dir/", "x/y/z/", "x/y/z/a.kel", "x/y/z/dir", "x/y/z/good.txt", "x/y/z/sub/",
        "x/y/z/sub/ok.txt"}},
      {"into the current folder", {"a.kel"},
       "Extract to .\ngood.txt 4 bytes.\n" + unsafe + "a.kel 3 byteserror : ファイルオープンに失敗(a.kel).\n\n" +
           "dir 3 byteserror : ファイルオープンに失敗(dir).\n\nsub\\ok.txt 2 bytes.\n" + refused + "C:drive.txt).\n",
       {"x/", "x/y/", "x/y/a.kel", "x/y/dir/", "x/y/good.txt", "x/y/sub/", "x/y/sub/ok.txt"}},
      {"by address, absolute", {"-e", "a.kel", "0x10006"}, refused + "/kel-e2e-abs2.txt).\n", before},
      {"by address, a parent folder", {"-e", "a.kel", "0x10007"}, refused + "fwd/../../fwd.txt).\n", before},
      {"by address, the archive", {"-e", "a.kel", "0x10008"},
       "Extract 0x00010008-00000003 to a.kel\nerror : ファイルオープンに失敗(a.kel).\n", before},
  };
  ScopedTempDir dir;
  for (const char* locale : kLocales) {
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(locale) + ": " + row.name);
      std::filesystem::remove_all(dir / "x");
      std::filesystem::create_directories(dir / "x/y/dir");
      ASSERT_TRUE(archive.WriteTo(dir / "x/y/a.kel"));
      RunResult result = RunKel(row.args, {locale, dir / "x/y"});
      EXPECT_EQ(result.out, InLocale(row.out, locale));
      EXPECT_EQ(result.status, 255);
      EXPECT_EQ(ListTree(dir.path()), row.tree);
      EXPECT_EQ(ReadFile(dir / "x/y/a.kel"), archive.Bytes());
      // Removed, should they be there, so that one failure does not spoil later runs.
      EXPECT_FALSE(std::filesystem::remove("/kel-e2e-abs.txt") | std::filesystem::remove("/kel-e2e-abs2.txt"));
    }
  }
}

}  // namespace
}  // namespace kel::testing
