// Runs the real kel binary to extract: everything with -d, one stored file
// by its address, and raw byte ranges, in the C locale (Shift-JIS) and under
// C.utf8. Stored data are the plain bytes XORed with 0xC6.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <random>
#include <tuple>

#include "archive_writer.h"
#include "test_support.h"

namespace kel::testing {
namespace {

const char* const kLocales[] = {"C", "C.utf8"};  // Shift-JIS and UTF-8

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

TEST(Extract, AllAndByAddressRecreateTheTree) {
  std::vector<std::tuple<std::string, uint64_t, std::string>> files;  // UTF-8 path, address, data
  // Every file, the empty ones too, gets an address of its own, so that -e can fetch each.
  auto file = [&files](const std::string& path, uint64_t address, const std::string& data) {
    files.emplace_back(path, address, data);
    return Placed(InLocale(path.substr(path.rfind('/') + 1), "C"), address, data.size());
  };
  // The second byte of 表 is a backslash in Shift-JIS; mib1.bin lies above 4 GiB;
  // the empty "before" shares the address of top.bin, which -e must take.
  Archive archive =
      BuildArchive({Placed("before", 0x10000, 0), file("top.bin", 0x10000, Random(300)),
                    Folder("a", {file("a/empty", 0x20000, ""), file("a/mib.bin", 0x40000, Random(1 << 20)),
                                 Folder("b", {Folder("c", {file("a/b/c/deep", 0x30000, Random(4000))})})}),
                    Folder(InLocale("表", "C"), {file("表/日本語.txt", 0x150000, Random(77)),
                                                 file("表/mib1.bin", 0x100000010, Random((1 << 20) + 1))}),
                    file("zero", 0x160000, "")});
  for (const auto& [path, address, data] : files) archive.Add(address, Xored(data));
  const std::string listing =
      "before 0 bytes\ntop.bin 300 bytes.\na\\empty 0 bytes\na\\mib.bin 1,048,576 bytes.\na\\b\\c\\deep "
      "4,000 "
      "bytes.\n表\\日本語.txt 77 bytes.\n表\\mib1.bin 1,048,577 bytes..\nzero 0 bytes\n";
  for (const char* locale : kLocales) {
    SCOPED_TRACE(locale);
    ScopedTempDir dir;
    ASSERT_TRUE(archive.WriteTo(dir / "a.kel"));
    std::filesystem::create_directory(dir / "e");
    // An absolute destination: its leading separator is the root.
    EXPECT_EQ(RunKel({"-d", "a.kel", dir / "out"}, {locale, dir.path()}),
              (RunResult{"Extract to " + dir / "out" + "\\.\n" + InLocale(listing, locale), 0}));
    EXPECT_EQ(ListTree(dir / "out"),
              (std::vector<std::string>{"a/", "a/b/", "a/b/c/", "a/b/c/deep", "a/empty", "a/mib.bin",
                                        "before", "top.bin", "zero", OnDisk("表/", locale),
                                        OnDisk("表/mib1.bin", locale), OnDisk("表/日本語.txt", locale)}));
    for (const auto& [path, address, data] : files) {
      const std::string bare = InLocale(path.substr(path.rfind('/') + 1), locale);
      EXPECT_EQ(ReadFile(dir / "out/" + OnDisk(path, locale)), data) << path;
      // The address as the listing shows it.
      char hex[24], head[64];
      snprintf(hex, sizeof hex, "0x%08jX", uintmax_t{address});
      snprintf(head, sizeof head, "Extract %s-%08zX to e\\%s\n", hex, data.size(), bare.c_str());
      EXPECT_EQ(RunKel({"-e", "a.kel", hex, "e"}, {locale, dir.path()}), (RunResult{head, 0}));
      EXPECT_EQ(ReadFile(dir / "e/" + OnDisk(path.substr(path.rfind('/') + 1), locale)), data) << path;
    }
    // A merge at the listed address above 4 GiB reaches that stored file.
    const std::string high = std::get<2>(files[5]).substr(0, 4) + Random((1 << 20) - 3);
    WriteFile(dir / "high.bin", high);
    EXPECT_EQ(RunKel({"-m", "a.kel", "high.bin", "0x100000010"}, {locale, dir.path()}),
              (RunResult{"Merge 0x100000010 in high.bin\n", 0}));
    EXPECT_EQ(RunKel({"-e", "a.kel", "0x100000010", "e"}, {locale, dir.path()}).status, 0);
    EXPECT_EQ(ReadFile(dir / "e/mib1.bin"), high);
  }
}

TEST(Extract, RangesCopyWhatExistsAndRefuseBadOperands) {
  const std::string archive = Random(600);
  const struct {
    std::vector<std::string> args;  // address, size, output
    std::string range;              // as the head line shows it
    std::string error;              // UTF-8 (Shift-JIS in the C locale); none on success
    std::string written;            // what the output holds afterwards
  } rows[] = {
      {{"0x100", "0x20", "out.bin"}, "00000100-00000020", "", Xored(archive.substr(256, 32))},
      {{"0x100", "-1", "out.bin"}, "00000100-FFFFFFFF", "", Xored(archive.substr(256))},
      {{"600", "-1", "out.bin"}, "00000258-FFFFFFFF", "", ""},
      {{"512", "256", "out.bin"},
       "00000200-00000100",
       "範囲がアーカイブの終端を越えています(168bytes不足)",
       Xored(archive.substr(512))},
      // Refused before the output is opened: it keeps its old bytes.
      {{"-5", "16", "out.bin"}, "FFFFFFFFFFFFFFFB-00000010", "不正なアドレスです(-5)", "old"},
      {{"16", "-2", "out.bin"}, "00000010-FFFFFFFE", "不正なサイズです(-2)", "old"},
      {{"601", "-1", "out.bin"},
       "00000259-FFFFFFFF",
       "アドレスがアーカイブの終端を越えています(0x00000259)",
       "old"},
      {{"0", "-1", "a.kel"}, "00000000-FFFFFFFF", "ファイルオープンに失敗(a.kel)", archive},
      {{"0x100", "0x20", "/dev/full"}, "00000100-00000020", "ファイル書き込みに失敗(/dev/full)", ""},
  };
  ScopedTempDir dir;
  WriteFile(dir / "a.kel", archive);
  for (const char* locale : kLocales) {
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(locale) + " " + ::testing::PrintToString(row.args));
      WriteFile(dir / "out.bin", "old");
      const std::string error = row.error.empty() ? "" : "error : " + row.error + ".\n";
      EXPECT_EQ(RunKel({"-e", "a.kel", row.args[0], row.args[1], row.args[2]}, {locale, dir.path()}),
                (RunResult{InLocale("Extract 0x" + row.range + " to " + row.args[2] + "\n" + error, locale),
                           row.error.empty() ? 0 : 255}));
      // A device is not read back.
      EXPECT_EQ(row.args[2] == "/dev/full" ? "" : ReadFile(dir / row.args[2]), row.written);
    }
  }
}

// Unsafe names, the archive itself and an existing folder as outputs: each
// fails alone, the others are written, and nothing lands outside.
TEST(Extract, FailedFilesLeaveEverythingElseAsItWas) {
  // The entries fetched by address point into the header; their bytes do not matter.
  const Archive archive =
      BuildArchive({File("..\\..\\escape.txt", "e"), File("\\kel-e2e-abs.txt", "a"),
                    Placed("/kel-e2e-abs2.txt", 1, 1), Placed("fwd/../../fwd.txt", 2, 1),
                    File("C:drive.txt", "c"), Placed("huge", 4, ~uint64_t{0}), File("good.txt", "good"),
                    Placed("a.kel", 3, 3), File("dir", "dir"), Folder("sub", {File("ok.txt", "ok")})});
  auto refused = [](const std::string& path) {
    return "error : 安全でないパスのため書き出しません(" + path + ").\n";
  };
  // A stored size of 2^64-1 is damage, not the -1 that reads to the archive's end.
  const std::string hugeSize = "error : 不正なサイズです(-1).\n";
  // What both runs of -d print after their head line.
  const std::string unsafe = refused("..\\..\\escape.txt") + refused("\\kel-e2e-abs.txt") +
                             refused("/kel-e2e-abs2.txt") + refused("fwd/../../fwd.txt") +
                             refused("C:drive.txt") + "huge -1 bytes" + hugeSize + "\ngood.txt 4 bytes.\n";
  const struct {
    std::vector<std::string> args;
    std::string out;                 // UTF-8; Shift-JIS in the C locale
    std::vector<std::string> added;  // below x/y, the working folder, afterwards
  } rows[] = {
      // Into a folder: only the unsafe names fail.
      {{"-d", "a.kel", "z"},
       "Extract to z\\.\n" + unsafe + "a.kel 3 bytes.\ndir 3 bytes.\nsub\\ok.txt 2 bytes.\n",
       {"z/", "z/a.kel", "z/dir", "z/good.txt", "z/sub/", "z/sub/ok.txt"}},
      // Into the archive's own folder: the archive and the folder dir are not opened either.
      {{"a.kel"},
       "Extract to .\n" + unsafe + "a.kel 3 byteserror : ファイルオープンに失敗(a.kel).\n\n" +
           "dir 3 byteserror : ファイルオープンに失敗(dir).\n\nsub\\ok.txt 2 bytes.\n",
       {"good.txt", "sub/", "sub/ok.txt"}},
      // By address: an absolute name, a parent folder, the archive itself.
      {{"-e", "a.kel", "1"}, refused("/kel-e2e-abs2.txt"), {}},
      {{"-e", "a.kel", "2"}, refused("fwd/../../fwd.txt"), {}},
      {{"-e", "a.kel", "3"},
       "Extract 0x00000003-00000003 to a.kel\nerror : ファイルオープンに失敗(a.kel).\n",
       {}},
      {{"-e", "a.kel", "4"}, hugeSize, {}},
  };
  for (const char* locale : kLocales) {
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(locale) + " " + ::testing::PrintToString(row.args));
      ScopedTempDir dir;
      std::filesystem::create_directories(dir / "x/y/dir");
      ASSERT_TRUE(archive.WriteTo(dir / "x/y/a.kel"));
      EXPECT_EQ(RunKel(row.args, {locale, dir / "x/y"}), (RunResult{InLocale(row.out, locale), 255}));
      std::vector<std::string> tree = {"x/", "x/y/", "x/y/a.kel", "x/y/dir/"};
      for (const std::string& path : row.added) tree.push_back("x/y/" + path);
      EXPECT_EQ(ListTree(dir.path()), tree);
      EXPECT_EQ(ReadFile(dir / "x/y/a.kel"), archive.Bytes());
      // Removed, should they be there, so that one failure does not spoil later runs.
      EXPECT_FALSE(std::filesystem::remove("/kel-e2e-abs.txt"));
      EXPECT_FALSE(std::filesystem::remove("/kel-e2e-abs2.txt"));
    }
  }
}

// Links already in the destination: a linked output is replaced, never
// written through; a linked folder that leads outside is refused; the
// archive reached through a link stays the open failure it is.
TEST(Extract, NeverWritesThroughLinksInTheDestination) {
  const Archive archive = BuildArchive(
      {File("readme.txt", "stored"), File("hard.txt", "hard"), Folder("up", {File("evil.txt", "evil")}),
       Folder("in", {File("ok.txt", "ok")}), File("self.kel", "s"), File("hardself.kel", "h")});
  const std::string open = "error : ファイルオープンに失敗(o\\";
  // Linux's symbolic links are out of sight of a Windows program under
  // wine: there only the hard links count.
  const bool symlinks = !WindowsBuild();
  for (const char* locale : kLocales) {
    SCOPED_TRACE(locale);
    ScopedTempDir dir;
    namespace fs = std::filesystem;
    ASSERT_TRUE(archive.WriteTo(dir / "a.kel"));
    WriteFile(dir / "victim.txt", "victim");
    WriteFile(dir / "victim2.txt", "victim2");
    fs::create_directories(dir / "o/sub");
    if (symlinks) {
      fs::create_symlink("../victim.txt", dir / "o/readme.txt");
      fs::create_directory_symlink("..", dir / "o/up");
      fs::create_directory_symlink("sub", dir / "o/in");
      fs::create_symlink("../a.kel", dir / "o/self.kel");
    }
    fs::create_hard_link(dir / "victim2.txt", dir / "o/hard.txt");
    fs::create_hard_link(dir / "a.kel", dir / "o/hardself.kel");
    EXPECT_EQ(
        RunKel({"-d", "a.kel", "o"}, {locale, dir.path()}),
        (RunResult{
            InLocale("Extract to o\\.\nreadme.txt 6 bytes.\nhard.txt 4 bytes.\n" +
                         std::string(symlinks ? "error : 安全でないパスのため書き出しません(up\\evil.txt).\n"
                                              : "up\\evil.txt 4 bytes.\n") +
                         "in\\ok.txt 2 bytes.\nself.kel 1 bytes" + (symlinks ? open + "self.kel).\n" : ".") +
                         "\nhardself.kel 1 bytes" + open + "hardself.kel).\n\n",
                     locale),
            255}));
    EXPECT_EQ(ReadFile(dir / "victim.txt") + ReadFile(dir / "victim2.txt"), "victimvictim2");
    EXPECT_EQ(ReadFile(dir / "o/readme.txt") + ReadFile(dir / "o/hard.txt"), "storedhard");
    EXPECT_FALSE(fs::is_symlink(dir / "o/readme.txt"));
    EXPECT_EQ(fs::hard_link_count(dir / "o/hard.txt"), 1u);
    EXPECT_FALSE(fs::exists(dir / "evil.txt"));
    EXPECT_EQ(ReadFile(dir / (symlinks ? "o/sub/ok.txt" : "o/in/ok.txt")), "ok");
    EXPECT_EQ(ReadFile(dir / "a.kel"), archive.Bytes());
  }
}

// SIGINT at moments of a 64 MiB extraction: the output is whole or gone,
// and a removed one is named.
TEST(Extract, LeavesNoHalfWrittenFileWhenInterrupted) {
  const std::string big = Random(64 << 20);
  ScopedTempDir dir;
  ASSERT_TRUE(BuildArchive({File("big.bin", big)}).WriteTo(dir / "a.kel"));
  for (int run = 0; run < 8; ++run) {
    SCOPED_TRACE(run);
    std::filesystem::remove_all(dir / "o");
    const RunResult result = RunKel({"-d", "a.kel", "o"}, {"C", dir.path(), false, -1, SIGINT, 5000 * run});
    // A file that is not there was never begun, or is named as cut.
    const std::string cut = InLocale("error : 中断のため書き出しを取り消しました(o\\big.bin).\n", "C");
    EXPECT_TRUE(std::filesystem::exists(dir / "o/big.bin")
                    ? ReadFile(dir / "o/big.bin") == big
                    : result.out.find("big.bin") == std::string::npos ||
                          result.out.find(cut) != std::string::npos)
        << result.out << ", exit " << result.status;
  }
}

// Operands that are no Shift-JIS under the C locale, and standard output as
// the output: the head line comes before the data.
TEST(Extract, KeepsAUtf8FolderWholeAndWritesToStandardOutputInOrder) {
  if (WindowsBuild()) GTEST_SKIP() << "UTF-8 operands under the C locale and /dev/stdout are POSIX-only";
  ScopedTempDir dir;
  ASSERT_TRUE(BuildArchive({Folder("d", {File("f", "abc")})}).WriteTo(dir / "a.kel"));
  // 出力 ends in a byte that Shift-JIS reads as the first half of a character.
  EXPECT_EQ(RunKel({"-d", "a.kel", "出力"}, {"C", dir.path()}),
            (RunResult{"Extract to 出力/.\nd\\f 3 bytes.\n", 0}));
  EXPECT_EQ(ReadFile(dir / "出力/d/f"), "abc");
  EXPECT_EQ(RunKel({"-e", "a.kel", "0x8E", "3", "/dev/stdout"}, {"C", dir.path()}),
            (RunResult{"Extract 0x0000008E-00000003 to /dev/stdout\nabc", 0}));
}

}  // namespace
}  // namespace kel::testing
