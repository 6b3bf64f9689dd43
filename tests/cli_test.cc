// Runs the real kel binary: dispatch and usage, the listing byte for byte,
// and the errors of loading an archive, each in the C locale (names and
// messages as Shift-JIS bytes) and under C.utf8.
#include <gtest/gtest.h>

#include <filesystem>

#include "archive_writer.h"
#include "test_support.h"

namespace kel::testing {
namespace {

std::string Sjis(const std::string& utf8) { return InLocale(utf8, "C"); }
std::string Error(const std::string& text) { return "error : " + text + ".\n"; }
std::string NotANumber(const std::string& text) { return Error("数値が正しくありません(" + text + ")"); }
std::string Cut(const std::string& bytes) {
  return Error("アーカイブが途中で切れています(" + bytes + "bytes不足)");
}

TEST(Cli, CommandLinesPrintWholeOutputsAndStatus) {
  const std::string usage =
      "kel ver.0.2\nUsage : kel -d [-q] [-j N] <kel_file> [dest_dir [pattern...]]\n"
      "        kel <kel_file> [dest_dir [pattern...]]\n        kel -l [--json] <kel_file> [pattern...]\n"
      "        kel -t [-q] <kel_file>\n        kel -m [-q] <kel_file> <merge_file> [0x<address>]\n"
      "        kel -m [-q] <kel_file> <merge_name> <merge_file>\n"
      "        kel -e [-q] <kel_file> <address> <size> <dest_file>\n        kel -e [-q] <kel_file> <address> "
      "[dest_dir]\n"
      "        kel -r [-q] <kel_file> <file>\n        kel -r [-q] <kel_file> <stored_name> <file>\n"
      "        kel -u [-q] [-n] <kel_file> <folder> [pattern...]\n        kel -c [-q] <kel_file> "
      "[new_file]\n";
  const std::string rule = "---------- ---------- -----------------------------------------------------\n";
  const std::string head = "   Address       Size Name\n" + rule;
  ScopedTempDir dir;
  ASSERT_TRUE(BuildArchive({File("a.txt", "abc")}).WriteTo(dir / "a.kel"));
  // Folder D holding A and B, then R at the top.
  Archive tree = BuildArchive({Folder("D", {Placed("A", 0x800, 512), Placed("B", 0xA00, 1048576)}),
                               Placed("R", 0x100A00, 0), Placed("P", 0x100A00, 8)});
  tree.size = 0x100A00;
  ASSERT_TRUE(tree.WriteTo(dir / "tree.kel"));
  // The second byte of 表 is a backslash in Shift-JIS. The widest size the
  // column holds, one wider, and an address above 4 GiB.
  Archive wide = BuildArchive({Folder(Sjis("データ"), {Placed(Sjis("表.txt"), 0x40, 99999999)}),
                               Placed(Sjis("日本語"), 0x100000800, 100000000)});
  wide.size = 0x100000800 + 100000000;
  ASSERT_TRUE(wide.WriteTo(dir / "wide.kel"));
  // The data "xy" before the directory, which is cut inside b's record; and 60
  // bytes that claim a directory of almost 4 GiB.
  const std::string items = Record("a", 0, 1, 34) + EndMarker() + Record("b", 0, 1, 35) + EndMarker();
  const std::string two =
      FrontHeader(38 + 16 + items.size()) + "\xBE\xBF" + std::string(2, '\0') + DirectoryBlock(items);
  WriteFile(dir / "cut.kel", two.substr(0, two.size() - 30));
  WriteFile(dir / "claim.kel", FrontHeader(0xFFFFFFF0) + BlockHead(0xFFFFFFF0 - 34) + std::string(10, '\0'));
  WriteFile(dir / "magic.kel", FrontHeader(100, 0x1234) + std::string(100, '\0'));
  WriteFile(dir / "nodir.kel", FrontHeader(0x40) + std::string(64, '\0'));
  WriteFile(dir / "short.kel", FrontHeader(0x40).substr(0, 20));
  // Names Windows cannot hold, refused there like "..", and two spellings of
  // one name there; written as they are elsewhere.
  std::vector<Node> names;
  std::string written = "Extract to w\\.\n", onWindows = written;
  for (const std::string name : {"NUL", "save\\aux.dat", "COM1.txt", "Lpt9.a.b", "trail.", "dir.\\x.txt",
                                 "sp \\x", "a<b", "q?", "README.TXT", "readme.txt", "trail"}) {
    names.push_back(File(name, name));
    written += name + " " + std::to_string(name.size()) + " bytes.\n";
    const std::string refusal =
        name == "readme.txt" ? "書き出したファイルと同じ名前になるため書き出しません(readme.txt = README.TXT)"
                             : "安全でないパスのため書き出しません(" + name + ")";
    onWindows +=
        name == "README.TXT" || name == "trail" ? written.substr(written.rfind(name)) : Error(refusal);
  }
  ASSERT_TRUE(BuildArchive(names).WriteTo(dir / "w.kel"));
  // Names whose second byte is a backslash in Shift-JIS (表, ソ, 能), for patterns.
  ASSERT_TRUE(
      BuildArchive({Folder(Sjis("表示"), {File(Sjis("ソース.txt"), "s"), File(Sjis("能力.dat"), "n")}),
                    File(Sjis("表.txt"), "h"), Folder("a", {Folder("b", {File("c.TXT", "c")})}),
                    File("x.bin", "x")})
          .WriteTo(dir / "p.kel"));
  // A quote, a line end, a tab, and no Shift-JIS, for JSON; and ranges that
  // overlap the header, share their bytes, and overlap in part.
  Archive json =
      BuildArchive({Placed("q\"t", 0x100, 1), Placed("nl\nx", 0x101, 2), Placed("tab\tx", 0x103, 3),
                    Placed("\x85\x40z", 0x106, 4), Folder(Sjis("表"), {Placed(Sjis("ソ"), 0x10A, 5)})});
  json.size = 0x200;
  ASSERT_TRUE(json.WriteTo(dir / "j.kel"));
  Archive over = BuildArchive(
      {Placed("h", 0, 8), Placed("x", 0x100, 0x100), Placed("z", 0x100, 0x100), Placed("y", 0x180, 0x100)});
  over.size = 0x300;
  ASSERT_TRUE(over.WriteTo(dir / "over.kel"));
  // The directory behind the data: a and b share bytes, 4 unclaimed ones follow, e holds none.
  const std::string shared = Record("a", 0, 4, 34) + EndMarker() + Record("b", 0, 4, 34) + EndMarker() +
                             Record("c", 0, 2, 42) + EndMarker() + Record("e", 0, 0, 44) + EndMarker();
  WriteFile(dir / "share.kel", FrontHeader(46 + 16 + shared.size()) + StoredBytes("AAAAjunkCC") +
                                   std::string(2, '\0') + DirectoryBlock(shared));
  // A folder put back into a.kel: a.txt changed, one file the archive lacks.
  std::filesystem::create_directories(dir / "u");
  WriteFile(dir / "u/a.txt", "abcd");
  WriteFile(dir / "u/new.txt", "n");
  // The data of a.txt follow the 34-byte header and the 66-byte directory.
  const std::string listing = head + "0x00000064          3 a.txt\n" + rule + "Total 1 files / 3 bytes\n";
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string out;  // UTF-8; Shift-JIS in the C locale
    int status;
    bool utf8 = false;  // the output is UTF-8 in every locale
  } rows[] = {
      {"no arguments", {}, usage, 255},
      {"asked for help", {"--help"}, usage, 0},
      {"-h", {"-h"}, usage, 0},
      {"-?", {"-?"}, usage, 0},
      {"the version", {"--version"}, "kel ver.0.2\n", 0},
      {"another long option", {"--list", "a.kel"}, usage, 255},
      // Destinations that are slips, not folders; nothing is written.
      {"an option after the archive", {"a.kel", "-l"}, usage, 255},
      {"an empty destination", {"-d", "a.kel", ""}, usage, 255},
      {"a destination like an option", {"-d", "a.kel", "-o"}, usage, 255},
      {"a folder named like an option", {"a.kel", "./-o"}, "Extract to ./-o\\.\na.txt 3 bytes.\n", 0},
      {"a lone dash", {"-", "a.kel"}, usage, 255},
      {"an unknown letter", {"-x", "a.kel"}, usage, 255},
      {"-l without an archive", {"-l"}, usage, 255},
      {"an upper-case letter", {"-L", "a.kel"}, listing, 0},
      {"a slash and one letter", {"/l", "a.kel"}, listing, 0},
      {"letters after the first", {"-list", "a.kel"}, listing, 0},
      {"a longer slash argument is an archive", {dir / "a.kel"}, "Extract to .\na.txt 3 bytes.\n", 0},
      {"folders, and data past the end",
       {"-l", "tree.kel"},
       head + "0x00000800        512 D\\A\n0x00000A00  1,048,576 D\\B\n0x00100A00          0 R\n" +
           "0x00100A00          8 P\n" + rule +
           "Total 4 files / 1,049,096 bytes\nerror : アーカイブが途中で切れています(8bytes不足).\n",
       255},
      {"wide numbers and Japanese names",
       {"-l", "wide.kel"},
       head + "0x00000040 99,999,999 データ\\表.txt\n0x100000800 100,000,000 日本語\n" + rule +
           "Total 2 files / 199,999,999 bytes\n",
       0},
      // The cut is told after what the file holds; a merge writes nothing.
      {"a cut archive",
       {"-l", "cut.kel"},
       head + "0x00000022          1 a\n" + rule + "Total 1 files / 1 bytes\n" + Cut("30"),
       255},
      {"a 60-byte archive",
       {"-l", "claim.kel"},
       head + rule + "Total 0 files / 0 bytes\n" + Cut("4294967220"),
       255},
      {"extracting a cut archive", {"-d", "cut.kel", "o"}, "Extract to o\\.\na 1 bytes.\n" + Cut("30"), 255},
      {"merging into a cut archive", {"-m", "cut.kel", "a"}, Cut("30"), 255},
      // Numbers are whole or refused, before anything is written.
      {"an upper-case hexadecimal prefix",
       {"-e", "a.kel", "0X64", "3", "r.bin"},
       "Extract 0x00000064-00000003 to r.bin\n",
       0},
      {"a letter in a hexadecimal address", {"-e", "a.kel", "0X1G"}, NotANumber("0X1G"), 255},
      {"a word as an address", {"-e", "a.kel", "abc", "o"}, NotANumber("abc"), 255},
      {"an exponent", {"-e", "a.kel", "1e3", "12", "x.bin"}, NotANumber("1e3"), 255},
      {"a trailing letter in a size", {"-e", "a.kel", "0x64", "10x", "x.bin"}, NotANumber("10x"), 255},
      {"a leading blank", {"-e", "a.kel", " 0x139", "12", "x.bin"}, NotANumber(" 0x139"), 255},
      {"a bare prefix as a merge address", {"-m", "a.kel", "r.bin", "0x"}, NotANumber("0x"), 255},
      {"a number past 64 bits", {"-e", "a.kel", "0x8000000000000000"}, NotANumber("0x8000000000000000"), 255},
      {"missing archive", {"-l", "none.kel"}, Error("ファイルオープンに失敗(none.kel)"), 255},
      {"wrong magic", {"-l", "magic.kel"}, Error("kelファイルではありません？(0x1234)"), 255},
      {"no block ends at directoryEnd",
       {"-l", "nodir.kel"},
       "error : アーカイブヘッダが見つかりません.(0x00000040)\n",
       255},
      // No value is taken from bytes the file does not have.
      {"a 20-byte file", {"-l", "short.kel"}, Error("kelヘッダが途中で切れています(14bytes不足)"), 255},
      {"a read error", {"-l", "/proc/self/mem"}, Error("ファイル読み込みに失敗(/proc/self/mem)"), 255},
      {"Windows names", {"-d", "w.kel", "w"}, WindowsBuild() ? onWindows : written, WindowsBuild() ? 255 : 0},
      // Patterns: a bare one matches bare names; one with a separator the path from the top,
      // ** any folders, a trailing separator all below. Each must match something.
      {"a bare pattern",
       {"-l", "p.kel", "表*", "ソ"},
       head + "0x000001C4          1 表.txt\n" + rule + "Total 1 files / 1 bytes\n" +
           Error("そのファイルはアーカイブ内に存在しません(ソ)"),
       255},
      {"patterns with folders",
       {"-l", "p.kel", "表示/能?.dat", "**/c.txt"},
       head + "0x000001C3          1 表示\\能力.dat\n0x000001C5          1 a\\b\\c.TXT\n" + rule +
           "Total 2 files / 2 bytes\n",
       0},
      {"extracting by patterns",
       {"-d", "p.kel", "o2", "*.TXT", "a/"},
       "Extract to o2\\.\n表示\\ソース.txt 1 bytes.\n表.txt 1 bytes.\na\\b\\c.TXT 1 bytes.\n",
       0},
      // JSON: UTF-8 whatever the locale; each name on one line; a byte no Shift-JIS has as Python's
      // surrogateescape writes it.
      {"a listing for programs",
       {"-l", "--json", "j.kel"},
       "{\"path\":\"q\\\"t\",\"address\":256,\"size\":1}\n{\"path\":\"nl\\u000Ax\",\"address\":257,\"size\":"
       "2}\n"
       "{\"path\":\"tab\\u0009x\",\"address\":259,\"size\":3}\n{\"path\":\"\\uDC85@z\",\"address\":262,"
       "\"size\":4}\n"
       "{\"path\":\"表\\\\ソ\",\"address\":266,\"size\":5}\n",
       0,
       true},
      // Testing reads no data: what lies past the end, overlaps but for shared bytes, unclaimed bytes.
      {"testing a sound archive",
       {"-t", "a.kel"},
       "Total 1 files / 3 bytes, 0 problems, 0 bytes unclaimed (0.0%)\n",
       0},
      {"testing data past the end",
       {"-t", "tree.kel"},
       Error("データがアーカイブの終端を越えています(P)") +
           "Total 4 files / 1,049,096 bytes, 1 problem, 1,768 bytes unclaimed (0.2%)\n",
       255},
      {"testing overlaps",
       {"-t", "over.kel"},
       Error("格納ファイルの範囲が重なっています(h = <header>)") +
           Error("格納ファイルの範囲が重なっています(x = y)") +
           "Total 4 files / 776 bytes, 2 problems, 150 bytes unclaimed (19.5%)\n",
       255},
      // Quiet: errors only, each on a line of its own.
      {"quietly", {"-e", "-q", "a.kel", "0x64", "3", "q.bin"}, "", 0},
      {"quietly failing", {"-d", "-q", "cut.kel", "o3"}, Cut("30"), 255},
      // A dry run of a put-back; compact copies, which keep shared bytes shared, and a refusal.
      {"a dry run",
       {"-u", "-n", "a.kel", "u"},
       "Update 0x00000067 a.txt (3 -> 4 bytes)\n" +
           Error("そのファイルはアーカイブ内に存在しません(u\\new.txt)") +
           "Total 1 changed, 0 unchanged, 1 not in the archive, nothing written\n",
       255},
      {"a compact copy", {"-c", "share.kel", "c.kel"}, "Compact 246 -> 242 bytes\n", 0},
      {"the compact copy",
       {"-l", "c.kel"},
       head + "0x00000022          4 a\n0x00000022          4 b\n" +
           "0x00000026          2 c\n0x00000028          0 e\n" + rule + "Total 4 files / 10 bytes\n",
       0},
      {"data in the header",
       {"-c", "over.kel", "c2.kel"},
       Error("データがヘッダかディレクトリと重なっています(h)"),
       255},
  };
  // A UTF-8 locale that is not installed still means UTF-8; the Windows
  // build has code pages instead.
  for (const char* locale : {"C", "C.utf8", "xx_XX.UTF-8"}) {
    if (WindowsBuild() && std::string(locale) == "xx_XX.UTF-8") continue;
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(locale) + ": " + row.name);
      // Operands as typed in the locale.
      std::vector<std::string> args = row.args;
      for (std::string& arg : args) arg = InLocale(arg, locale);
      RunResult result = RunKel(args, {locale, dir.path()});
      EXPECT_EQ(result.out, row.utf8 ? row.out : InLocale(row.out, locale));
      EXPECT_EQ(result.status, row.status);
    }
  }
  EXPECT_EQ(ReadFile(dir / "a.txt"), "abc");
  EXPECT_EQ(ReadFile(dir / "r.bin"), "abc");
  EXPECT_EQ(ReadFile(dir / "o/a"), "x");
  EXPECT_EQ(ListTree(dir / "-o"), std::vector<std::string>{"a.txt"});
  EXPECT_FALSE(std::filesystem::exists(dir / "x.bin"));
  EXPECT_EQ(ReadFile(dir / "w/README.TXT"), "README.TXT");
  EXPECT_TRUE(!WindowsBuild() || ListTree(dir / "w") == (std::vector<std::string>{"README.TXT", "trail"}));
}

}  // namespace
}  // namespace kel::testing
