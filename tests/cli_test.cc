// Runs the real kel binary: dispatch and usage, the listing byte for byte,
// and the errors of loading an archive, each in the C locale (names and
// messages as Shift-JIS bytes) and under C.utf8.
#include <gtest/gtest.h>

#include "archive_writer.h"
#include "test_support.h"

namespace kel::testing {
namespace {

std::string Sjis(const std::string& utf8) { return InLocale(utf8, "C"); }

TEST(Cli, CommandLinesPrintWholeOutputsAndStatus) {
  const std::string usage =
      "kel ver.0.2\nUsage : kel -d <kel_file> [dest_dir]\n        kel -l <kel_file>\n"
      "        kel -m <kel_file> <merge_file> [address]\n        kel -m <kel_file> <merge_name> <merge_file>\n"
      "        kel -e <kel_file> <address> <size> <dest_file>\n        kel -e <kel_file> <address> [dest_dir]\n";
  const std::string rule = "---------- ---------- -----------------------------------------------------\n";
  const std::string head = "   Address       Size Name\n" + rule;
  ScopedTempDir dir;
  ASSERT_TRUE(BuildArchive({File("a.txt", "abc")}).WriteTo(dir / "a.kel"));
  // Folder D holding A and B, then R at the top.
  ASSERT_TRUE(
      BuildArchive({Folder("D", {Placed("A", 0x800, 512), Placed("B", 0xA00, 1048576)}), Placed("R", 0x100A00, 0)})
          .WriteTo(dir / "tree.kel"));
  // The second byte of 表 is a backslash in Shift-JIS. The widest size the
  // column holds, one wider, and an address above 4 GiB.
  ASSERT_TRUE(BuildArchive({Folder(Sjis("データ"), {Placed(Sjis("表.txt"), 0x40, 99999999)}),
                            Placed(Sjis("日本語"), 0x100000800, 100000000)})
                  .WriteTo(dir / "wide.kel"));
  WriteFile(dir / "magic.kel", FrontHeader(100, 0x1234) + std::string(100, '\0'));
  WriteFile(dir / "nodir.kel", FrontHeader(0x40) + std::string(64, '\0'));
  // The data of a.txt follow the 34-byte header and the 66-byte directory.
  const std::string listing = head + "0x00000064          3 a.txt\n" + rule + "Total 1 files / 3 bytes\n";
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string out;  // UTF-8; Shift-JIS in the C locale
    int status;
  } rows[] = {
      {"no arguments", {}, usage, 255},
      {"a lone dash", {"-", "a.kel"}, usage, 255},
      {"an unknown letter", {"-x", "a.kel"}, usage, 255},
      {"-l without an archive", {"-l"}, usage, 255},
      {"an upper-case letter", {"-L", "a.kel"}, listing, 0},
      {"a slash and one letter", {"/l", "a.kel"}, listing, 0},
      {"letters after the first", {"-list", "a.kel"}, listing, 0},
      {"a longer slash argument is an archive", {dir / "a.kel"}, "Extract to .\na.txt 3 bytes.\n", 0},
      {"folders", {"-l", "tree.kel"},
       head + "0x00000800        512 D\\A\n0x00000A00  1,048,576 D\\B\n0x00100A00          0 R\n" + rule +
           "Total 3 files / 1,049,088 bytes\n", 0},
      {"wide numbers and Japanese names", {"-l", "wide.kel"},
       head + "0x00000040 99,999,999 データ\\表.txt\n0x00000800 100,000,000 日本語\n" + rule +
           "Total 2 files / 199,999,999 bytes\n", 0},
      {"missing archive", {"-l", "none.kel"}, "error : ファイルオープンに失敗(none.kel).\n", 255},
      {"wrong magic", {"-l", "magic.kel"}, "error : kelファイルではありません？(0x1234).\n", 255},
      {"no block ends at directoryEnd", {"-l", "nodir.kel"}, "error : アーカイブヘッダが見つかりません.(0x00000040)\n", 255},
  };
  for (const char* locale : {"C", "C.utf8"}) {
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(locale) + ": " + row.name);
      RunResult result = RunKel(row.args, {locale, dir.path()});
      EXPECT_EQ(result.out, InLocale(row.out, locale));
      EXPECT_EQ(result.status, row.status);
    }
  }
  EXPECT_EQ(ReadFile(dir / "a.txt"), "abc");
}

}  // namespace
}  // namespace kel::testing
