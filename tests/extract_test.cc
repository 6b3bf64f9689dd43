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
// Extractions run as given (-- ends the options) and once more on 8 threads.
const char* const kRuns[][2] = {{"C", "--"}, {"C.utf8", "--"}, {"C", "-j8"}, {"C.utf8", "-j8"}};

std::string Error(const std::string& text) { return "error : " + text + ".\n"; }
std::string PastEnd(uint64_t missing) {
  return Error("範囲がアーカイブの終端を越えています(" + std::to_string(missing) + "bytes不足)");
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
  for (const auto& [path, address, data] : files) archive.Add(address, StoredBytes(data));
  const std::string listing =
      "before 0 bytes\ntop.bin 300 bytes.\na\\empty 0 bytes\na\\mib.bin 1,048,576 bytes.\n"
      "a\\b\\c\\deep 4,000 bytes.\n表\\日本語.txt 77 bytes.\n表\\mib1.bin 1,048,577 bytes..\nzero 0 bytes\n";
  for (const auto& [locale, threads] : kRuns) {
    SCOPED_TRACE(std::string(locale) + " " + threads);
    ScopedTempDir dir;
    ASSERT_TRUE(archive.WriteTo(dir / "a.kel"));
    std::filesystem::create_directory(dir / "e");
    // An absolute destination: its leading separator is the root.
    EXPECT_EQ(RunKel({"-d", threads, "a.kel", dir / "out"}, {locale, dir.path()}),
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
      {{"0x100", "0x20", "out.bin"}, "00000100-00000020", "", StoredBytes(archive.substr(256, 32))},
      // Size -1 shows the count it copies; sizes are 64-bit.
      {{"0x100", "-1", "out.bin"}, "00000100-00000158", "", StoredBytes(archive.substr(256))},
      {{"600", "-1", "out.bin"}, "00000258-00000000", "", ""},
      {{"512", "256", "out.bin"}, "00000200-00000100", PastEnd(168), StoredBytes(archive.substr(512))},
      {{"0", "0x100000010", "out.bin"}, "00000000-100000010", PastEnd(4294966712), StoredBytes(archive)},
      // Refused before the head line and before the output is opened: it keeps its old bytes.
      {{"-5", "16", "out.bin"}, "", Error("不正なアドレスです(-5)"), "old"},
      {{"16", "-2", "out.bin"}, "", Error("不正なサイズです(-2)"), "old"},
      {{"601", "-1", "out.bin"}, "", Error("アドレスがアーカイブの終端を越えています(0x00000259)"), "old"},
      {{"0", "-1", "a.kel"}, "00000000-00000258", Error("ファイルオープンに失敗(a.kel)"), archive},
      // A missing folder and a name too long say so.
      {{"0", "1", "n/o"}, "00000000-00000001", Error("出力先のフォルダが存在しません(n/o)"), ""},
      {{"0", "1", std::string(300, 'n')},
       "00000000-00000001",
       Error("名前が長すぎて作成できません(" + std::string(300, 'n') + ")"),
       ""},
      {{"0x100", "0x20", "/dev/full"},
       "00000100-00000020",
       Error("ディスクの空き容量が足りません(/dev/full)"),
       ""},
  };
  ScopedTempDir dir;
  WriteFile(dir / "a.kel", archive);
  for (const char* locale : kLocales) {
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(locale) + " " + ::testing::PrintToString(row.args));
      WriteFile(dir / "out.bin", "old");
      const std::string head =
          row.range.empty() ? "" : "Extract 0x" + row.range + " to " + row.args[2] + "\n";
      EXPECT_EQ(RunKel({"-e", "a.kel", row.args[0], row.args[1], row.args[2]}, {locale, dir.path()}),
                (RunResult{InLocale(head + row.error, locale), row.error.empty() ? 0 : 255}));
      // A device is not read back.
      EXPECT_EQ(row.args[2] == "/dev/full" ? "" : ReadFile(dir / row.args[2]), row.written);
    }
  }
}

// Unsafe names, the archive itself and an existing folder as outputs,
// data past the archive's end, a write past a file size limit: each fails
// alone, the others are written, nothing lands outside and nothing is left
// half-written. A destination that is a file fails them all, said once.
TEST(Extract, FailedFilesLeaveEverythingElseAsItWas) {
  // The entries fetched by address point into the header; their bytes do not matter.
  const Archive archive = BuildArchive({File("..\\..\\escape.txt", "e"), File("\\kel-e2e-abs.txt", "a"),
                                        Placed("/kel-e2e-abs2.txt", 1, 1), Placed("fwd/../../fwd.txt", 2, 1),
                                        File("C:drive.txt", "c"), Placed("huge", 4, ~uint64_t{0}),
                                        File("good.txt", "good"), Placed("a.kel", 3, 3), File("dir", "dir"),
                                        Folder("sub", {File("ok.txt", "ok")}), Placed("past", 0, 1 << 20)});
  auto refused = [](std::string path) { return Error("安全でないパスのため書き出しません(" + path + ")"); };
  auto open = [](std::string path) { return Error("ファイルオープンに失敗(" + path + ")"); };
  // A stored size of 2^64-1 is damage, not the -1 that reads to the archive's end.
  const auto cut = [](const std::string& path) {
    return Error("データがアーカイブの終端を越えています(" + path + ")");
  };
  // What the runs of -d print after their head line.
  const std::string unsafe = refused("..\\..\\escape.txt") + refused("\\kel-e2e-abs.txt") +
                             refused("/kel-e2e-abs2.txt") + refused("fwd/../../fwd.txt") +
                             refused("C:drive.txt") + "huge 18,446,744,073,709,551,615 bytes\n" + cut("huge");
  const struct {
    std::vector<std::string> args;
    std::string out;                 // UTF-8; Shift-JIS in the C locale
    std::vector<std::string> added;  // below x/y, the working folder, afterwards
    long fileSizeLimit = -1;         // not applied to the Windows build
  } rows[] = {
      // Into a folder: only the unsafe names fail, and past, longer than the limit.
      {{"-d", "a.kel", "z"},
       "Extract to z\\.\n" + unsafe +
           "good.txt 4 bytes.\na.kel 3 bytes.\ndir 3 bytes.\nsub\\ok.txt 2 bytes.\npast 1,048,576 bytes" +
           (WindowsBuild() ? ".\n" + cut("z\\past") : "\nerror : ファイル書き込みに失敗(z\\past).\n"),
       {"z/", "z/a.kel", "z/dir", "z/good.txt", "z/sub/", "z/sub/ok.txt"},
       100},
      // Into the archive's own folder: the archive and the folder dir are not opened either.
      {{"a.kel"},
       "Extract to .\n" + unsafe + "good.txt 4 bytes.\na.kel 3 bytes\n" + open("a.kel") + "dir 3 bytes\n" +
           open("dir") + "sub\\ok.txt 2 bytes.\npast 1,048,576 bytes.\n" + cut("past"),
       {"good.txt", "sub/", "sub/ok.txt"}},
      {{"-d", "a.kel", "a.kel"},
       "Extract to a.kel\\.\n" + unsafe + Error("出力先フォルダを作成できません(a.kel\\)"),
       {}},
      // By address: an absolute name, a parent folder, the archive itself, data past the end.
      {{"-e", "a.kel", "1"}, refused("/kel-e2e-abs2.txt"), {}},
      {{"-e", "a.kel", "2"}, refused("fwd/../../fwd.txt"), {}},
      {{"-e", "a.kel", "3"}, "Extract 0x00000003-00000003 to a.kel\n" + open("a.kel"), {}},
      {{"-e", "a.kel", "0"}, "Extract 0x00000000-00100000 to past\n" + cut("past"), {}},
      {{"-e", "a.kel", "4"}, cut("huge"), {}},
  };
  for (const auto& [locale, threads] : kRuns) {
    for (auto row : rows) {
      if (row.args[0] == "-d") row.args.insert(row.args.begin() + 1, threads);
      SCOPED_TRACE(std::string(locale) + " " + ::testing::PrintToString(row.args));
      ScopedTempDir dir;
      std::filesystem::create_directories(dir / "x/y/dir");
      ASSERT_TRUE(archive.WriteTo(dir / "x/y/a.kel"));
      EXPECT_EQ(RunKel(row.args, {locale, dir / "x/y", false, row.fileSizeLimit}),
                (RunResult{InLocale(row.out, locale), 255}));
      std::vector<std::string> tree = {"x/", "x/y/", "x/y/a.kel", "x/y/dir/"};
      for (const std::string& path : row.added) tree.push_back("x/y/" + path);
      EXPECT_EQ(ListTree(dir.path()), tree);
      EXPECT_EQ(ReadFile(dir / "x/y/a.kel"), archive.Bytes());
      // Removed, should they be there, so that one failure does not spoil later runs.
      for (const char* outside : {"/kel-e2e-abs.txt", "/kel-e2e-abs2.txt"})
        EXPECT_FALSE(std::filesystem::remove(outside));
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
  // Linux's symbolic links are out of sight of a Windows program under
  // wine: there only the hard links count.
  const bool symlinks = !WindowsBuild();
  for (const auto& [locale, threads] : kRuns) {
    SCOPED_TRACE(std::string(locale) + " " + threads);
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
    const std::string up =
        symlinks ? Error("安全でないパスのため書き出しません(up\\evil.txt)") : "up\\evil.txt 4 bytes.\n";
    const std::string self = symlinks ? "\n" + Error("ファイルオープンに失敗(o\\self.kel)") : ".\n";
    EXPECT_EQ(
        RunKel({"-d", threads, "a.kel", "o"}, {locale, dir.path()}),
        (RunResult{InLocale("Extract to o\\.\nreadme.txt 6 bytes.\nhard.txt 4 bytes.\n" + up +
                                "in\\ok.txt 2 bytes.\nself.kel 1 bytes" + self + "hardself.kel 1 bytes\n" +
                                Error("ファイルオープンに失敗(o\\hardself.kel)"),
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

// SIGINT at moments of the extraction of four files of 16 MiB, on one
// thread and on eight: each output is whole or gone, and a removed one is
// named.
TEST(Extract, LeavesNoHalfWrittenFileWhenInterrupted) {
  const std::string big = Random(16 << 20);
  ScopedTempDir dir;
  ASSERT_TRUE(
      BuildArchive({File("0", big), File("1", big), File("2", big), File("3", big)}).WriteTo(dir / "a.kel"));
  for (int run = 0; run < 16; ++run) {
    SCOPED_TRACE(run);
    std::filesystem::remove_all(dir / "o");
    const RunResult result = RunKel({"-d", run < 8 ? "-j1" : "-j8", "a.kel", "o"},
                                    {"C", dir.path(), false, -1, SIGINT, 5000 * (run % 8)});
    for (const std::string name : {"0", "1", "2", "3"}) {
      // A file that is not there was never begun, or is named as cut.
      const std::string cut = InLocale(Error("中断のため書き出しを取り消しました(o\\" + name + ")"), "C");
      EXPECT_TRUE(std::filesystem::exists(dir / ("o/" + name))
                      ? ReadFile(dir / ("o/" + name)) == big
                      : result.out.find("\n" + name + " ") == std::string::npos ||
                            result.out.find(cut) != std::string::npos)
          << result.out << ", exit " << result.status;
    }
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
