// End-to-end runs of `kel -m`: the three ways of naming the stored file, every
// refusal (each leaves the archive byte for byte as it was), and merges that
// meet another process holding the archive. Stored data are the plain bytes
// XORed with 0xC6, so a merge must turn exactly the bytes from the address on
// into the scrambled replacement. Every case runs in the C locale (names and
// messages are Shift-JIS bytes) and in C.utf8.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "archive_writer.h"
#include "test_support.h"

namespace kel::testing {
namespace {

const char* const kLocales[] = {"C", "C.utf8"};

std::string Scramble(std::string plain) {
  for (char& c : plain) c ^= static_cast<char>(0xC6);
  return plain;
}

std::string Hex(uint64_t value) {
  char text[24];
  snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(value));
  return text;
}

std::string Error(const std::string& text) { return "error : " + text + ".\n"; }
const std::string kMismatch = "error : 先頭データ4バイトが不一致.\n";
const std::string kBusy = Error("ファイルオープンに失敗(a.kel)");

const std::string kA = "DDS " + std::string(60, 'a');     // chara\a.dds
const std::string kN = "DDS " + std::string(28, 'n');     // chara\New.dds
const std::string kB = "DDS " + std::string(60, 'b');     // 表示\a.dds (表 ends in byte 0x5C)
const std::string kPk = "PK\3\4" + std::string(32, 'p');  // b.bin, the archive's last bytes
const std::string kOriginal =
    BuildArchive({Folder("chara", {File("a.dds", kA), File("New.dds", kN)}),
                  Folder(InLocale("表示", "C"), {File("a.dds", kB)}),
                  Placed("neg.bin", ~uint64_t{15}, 4), File("b.bin", kPk)})
        .Bytes();
const std::string kEnd = Hex(kOriginal.size());
// The replacements, and where their stored files begin.
const std::string kNewA = "DDS " + std::string(60, 'z'), kNewN = "DDS " + std::string(28, 'z');
const std::string kNewPk = "PK\3\4" + std::string(32, 'z'), kGrow = kPk + "GROW";
std::string At(const std::string& plain) { return Hex(kOriginal.find(Scramble(plain))); }
std::string MergeLine(const std::string& address, const std::string& file) {
  return "Merge " + address + " in " + file + "\n";
}

struct Case {
  const char* name;
  std::string command;      // UTF-8, split at spaces
  std::string out;          // UTF-8
  std::string target = "";  // plain bytes of the stored file merged over; empty when refused
  std::string merged = "";  // what its range extracts as afterwards
  int lock = 0;             // flock held by the test during the run
  bool asNobody = false;
  long sizeLimit = -1;
};

void Check(const std::vector<Case>& cases) {
  for (const char* locale : kLocales) {
    for (const Case& row : cases) {
      SCOPED_TRACE(std::string(locale) + " " + row.name);
      ScopedTempDir dir;
      WriteFile(dir / "a.kel", kOriginal);
      mkdir((dir / "rep").c_str(), 0755);
      for (const auto& [name, bytes] : std::vector<std::pair<std::string, std::string>>{
               {"rep/NEW.DDS", kNewN}, {"new.dds", kNewA}, {"long.dds", kNewA + "!"},
               {"bad.dds", "DDSX" + kNewA.substr(4)}, {"b.new", kNewPk}, {"pk.bin", "PK"},
               {"px.bin", "PX"}, {"grow.bin", kGrow}, {"neg.bin", "abcd"},
               {"end.bin", Scramble(std::string(4, '\0'))}, {"huge.bin", ""}}) {
        WriteFile(dir / name, bytes);
      }
      EXPECT_EQ(truncate((dir / "huge.bin").c_str(), off_t{1} << 31), 0);  // sparse, never read
      if (row.asNobody) chmod((dir / "a.kel").c_str(), 0444);
      const int held = row.lock != 0 ? open((dir / "a.kel").c_str(), O_RDONLY | O_CLOEXEC) : -1;
      EXPECT_TRUE(held == -1 || flock(held, row.lock) == 0);
      std::vector<std::string> args;
      std::istringstream words(InLocale(row.command, locale));
      for (std::string word; words >> word;) args.push_back(word);
      const RunResult run = RunKel(args, {locale, dir.path(), row.asNobody, row.sizeLimit});
      if (held != -1) close(held);
      EXPECT_EQ(run.out, InLocale(row.out, locale));
      EXPECT_EQ(run.status, row.target.empty() ? 255 : 0);
      std::string expected = kOriginal;
      if (!row.target.empty()) {
        const std::string address = At(row.target), size = std::to_string(row.merged.size());
        expected.replace(std::stoull(address, nullptr, 16), row.merged.size(), Scramble(row.merged));
        EXPECT_EQ(RunKel({"-e", "a.kel", address, size, "x"}, {locale, dir.path()}).status, 0);
        EXPECT_EQ(ReadFile(dir / "x"), row.merged);
      }
      EXPECT_EQ(ReadFile(dir / "a.kel"), expected);
      EXPECT_FALSE(FileExists(dir / "out"));
    }
  }
}

TEST(MergeTest, OverwritesTheNamedStoredFile) {
  Check({
      // The replacement's own name, after its folder, ignoring case.
      {"by file", "-m a.kel rep\\NEW.DDS", MergeLine(At(kN), "rep\\NEW.DDS"), kN, kNewN},
      {"bare name", "-m a.kel new.DDS rep/NEW.DDS", MergeLine(At(kN), "rep/NEW.DDS"), kN, kNewN},
      // A folder part picks one of the two a.dds, with either separator.
      {"folder part", "-m a.kel chara\\a.dds new.dds", MergeLine(At(kA), "new.dds"), kA, kNewA},
      {"slash folder", "-m a.kel chara/a.dds new.dds", MergeLine(At(kA), "new.dds"), kA, kNewA},
      // Any run of the path's bytes: from inside a double-byte folder into the file name.
      {"substring", "-m a.kel 示/a.dd new.dds", MergeLine(At(kB), "new.dds"), kB, kNewA},
      {"address", "-m a.kel b.new " + At(kPk), MergeLine(At(kPk), "b.new"), kPk, kNewPk},
      // A short replacement is checked on the bytes it has.
      {"short", "-m a.kel pk.bin " + At(kPk), MergeLine(At(kPk), "pk.bin"), kPk, "PK"},
      {"grows", "-m a.kel grow.bin " + At(kPk), MergeLine(At(kPk), "grow.bin"), kPk, kGrow},
  });
}

TEST(MergeTest, RefusalsLeaveTheArchiveAsItWas) {
  const std::string notFound = "error : そのファイルはアーカイブ内に存在しません";
  Check({
      // The search name is reported before the replacement is looked for.
      {"no such name", "-m a.kel rep/zzz.dds", notFound + "(zzz.dds).\n"},
      {"folder part keeps case", "-m a.kel Chara\\a.dds new.dds", notFound + "(Chara\\a.dds).\n"},
      {"several", "-m a.kel a.dds", Error("そのファイル名はアーカイブ内に複数存在します(a.dds)")},
      {"missing", "-m a.kel chara/a.dds no.dds", Error("ファイルが見つかりません(no.dds)")},
      {"size", "-m a.kel chara\\a.dds long.dds",
       Error("アーカイブ内のファイルサイズと違います(arc=64/in=65)")},
      {"fourth byte", "-m a.kel chara\\a.dds bad.dds", MergeLine(At(kA), "bad.dds") + kMismatch},
      // neg.bin's record holds the address 2^64-16.
      {"negative address", "-m a.kel neg.bin", Error("不正なアドレスです(-16)")},
      {"short", "-m a.kel px.bin " + At(kPk), MergeLine(At(kPk), "px.bin") + kMismatch},
      // Missing archive bytes must not read as zeros, which end.bin would match.
      {"at the end", "-m a.kel end.bin " + kEnd, MergeLine(kEnd, "end.bin") + kMismatch},
      {"too large", "-m a.kel huge.bin " + At(kPk),
       MergeLine(At(kPk), "huge.bin") + Error("マージファイルが大きすぎます(2147483648bytes)")},
      // The archive itself under another name: already held for writing.
      {"itself", "-m a.kel ./a.kel 0x0", Error("ファイルオープンに失敗(./a.kel)")},
      {"read-only", "-m a.kel chara\\a.dds new.dds", kBusy, "", "", 0, true},
      // As a running extraction holds it.
      {"shared lock", "-m a.kel chara\\a.dds new.dds", kBusy, "", "", LOCK_SH},
      // As a running merge holds it: an extraction creates no output.
      {"exclusive lock", "-e a.kel " + At(kA) + " 64 out", kBusy, "", "", LOCK_EX},
      // Writes stop at the archive's present size; the bytes up to it are written as they were.
      {"size limit", "-m a.kel grow.bin " + At(kPk),
       MergeLine(At(kPk), "grow.bin") + Error("ファイル書き込みに失敗(a.kel)"), "", "", 0, false,
       static_cast<long>(kOriginal.size())},
  });
}

TEST(MergeTest, MergeDuringExtractionKeepsBoth) {
  // More than a pipe holds: the extraction stays blocked on its output, with
  // the archive open, until the test reads.
  const std::string big = "DDS " + std::string(1 << 20, 'q');
  const std::string original = BuildArchive({File("big.dds", big)}).Bytes();
  for (const char* locale : kLocales) {
    SCOPED_TRACE(locale);
    ScopedTempDir dir;
    WriteFile(dir / "a.kel", original);
    WriteFile(dir / "big.dds", "DDS " + std::string(1 << 20, 'r'));
    mkdir((dir / "out").c_str(), 0777);
    ASSERT_EQ(mkfifo((dir / "out/big.dds").c_str(), 0666), 0);
    const int fifo = open((dir / "out/big.dds").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    RunResult extraction;
    std::thread extractor([&] { extraction = RunKel({"-d", "a.kel", "out"}, {locale, dir.path()}); });
    pollfd ready{fifo, POLLIN, 0};
    const bool blocked = poll(&ready, 1, 10000) == 1;
    EXPECT_TRUE(blocked);
    const RunResult merge = RunKel({"-m", "a.kel", "big.dds"}, {locale, dir.path()});
    // Had it never blocked, closing the only reader ends it rather than the test hanging.
    const std::string extracted = blocked ? ReadFile(dir / "out/big.dds") : "";
    close(fifo);
    extractor.join();
    EXPECT_EQ(merge.out, InLocale(kBusy, locale));
    EXPECT_EQ(merge.status, 255);
    EXPECT_EQ(extraction.out, "Extract to out\\.\nbig.dds 1,048,580 bytes..\n");
    EXPECT_EQ(extraction.status, 0);
    EXPECT_EQ(extracted, big);
    EXPECT_EQ(ReadFile(dir / "a.kel"), original);
    // Once the extraction has ended the same merge goes through.
    EXPECT_EQ(RunKel({"-m", "a.kel", "big.dds"}, {locale, dir.path()}).status, 0);
  }
}

}  // namespace
}  // namespace kel::testing
