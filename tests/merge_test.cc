// End-to-end runs of `kel -m`: the three ways of naming the stored file, every
// refusal (each leaves the archive byte for byte as it was), and merges that
// meet another process holding the archive. Stored data are the plain bytes
// XORed with 0xC6, so a merge must turn exactly the bytes from the address on
// into the scrambled replacement. Every case runs in the C locale (names and
// messages are Shift-JIS bytes) and in C.utf8.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <iostream>

#include "archive_writer.h"
#include "test_support.h"

namespace kel::testing {
namespace {

std::string Scramble(std::string plain) {
  for (char& c : plain) c ^= static_cast<char>(0xC6);
  return plain;
}

std::string Error(const std::string& text) { return "error : " + text + ".\n"; }
const std::string kBusy = Error("ファイルオープンに失敗(a.kel)");
const std::string kWaited = "Waiting for a.kel, in use by another program\n";
const std::string kRule = "---------- ---------- -----------------------------------------------------\n";

// Stored as chara\a.dds, chara\New.dds, 表示\a.dds (表 ends in byte 0x5C) and
// b.bin, the archive's last bytes. cut.kel ends two bytes short of b.bin's
// data; neg.kel holds a record with the address 2^64-16.
const std::string kA = "DDS " + std::string(60, 'a'), kB = "DDS " + std::string(60, 'b');
const std::string kN = "DDS " + std::string(28, 'n'), kPk = "PK\3\4" + std::string(32, 'p');
// Replacements of the sizes of kA and kN.
const std::string kNewA = "DDS " + std::string(60, 'z'), kNewN = "DDS " + std::string(28, 'z');
const std::string kOriginal =
    BuildArchive({Folder("chara", {File("a.dds", kA), File("New.dds", kN)}),
                  Folder(InLocale("表示", "C"), {File("a.dds", kB)}), File("b.bin", kPk)})
        .Bytes();
const std::string kCut = kOriginal.substr(0, kOriginal.size() - 2);
const std::string kCutMessage = Error("アーカイブが途中で切れています(2bytes不足)");
const std::string kNeg = BuildArchive({Placed("neg.bin", -16, 4)}).Bytes();
const std::string kNegCut =
    Error("アーカイブが途中で切れています(" + std::to_string(~uint64_t{0} - 11 - kNeg.size()) + "bytes不足)");
// The archive and the replacements, written afresh for every case.
const std::pair<const char*, std::string> kFiles[] = {{"a.kel", kOriginal},
                                                      {"cut.kel", kCut},
                                                      {"neg.kel", kNeg},
                                                      {"NEW.DDS", kNewN},
                                                      {"new.dds", kNewA},
                                                      {"long.dds", kNewA + "!"},
                                                      {"bad.dds", "DDSX" + kNewA.substr(4)},
                                                      {"pk.bin", "PK"},
                                                      {"px.bin", "PX"},
                                                      {"grow.bin", kPk + "GROW"},
                                                      {"neg.bin", "abcd"},
                                                      {"end.bin", Scramble(std::string(4, '\0'))},
                                                      {"empty.bin", ""},
                                                      {"huge.bin", ""}};

// Where `plain` begins in the archive as kel shows it; the archive's end for "".
std::string At(const std::string& plain) {
  char text[24];
  snprintf(text, sizeof text, "0x%08zX", plain.empty() ? kOriginal.size() : kOriginal.find(Scramble(plain)));
  return text;
}
std::string Merge(const std::string& at, const std::string& file) {
  return "Merge " + at + " in " + file + "\n";
}
std::string PastEnd(const std::string& at) {
  return Error("アドレスがアーカイブの終端を越えています(" + at + ")");
}

struct Case {
  std::vector<std::string> args;
  std::string out;          // UTF-8
  std::string target = "";  // plain bytes of the stored file merged over
  std::string data = "";    // what replaces them from its start; none when refused
  int lock = LOCK_UN;       // flock held on the archive for the run's first 0.4 s
  RunOptions run = {};      // as whom and with which file size limit
};

TEST(MergeTest, OverwritesTheNamedStoredFileOrLeavesTheArchiveAsItWas) {
  for (const char* locale : {"C", "C.utf8"}) {
    const Case cases[] = {
        // By file: the replacement's own name, after its folder, ignoring case.
        {{"-m", "a.kel", ".\\NEW.DDS"}, Merge(At(kN), ".\\NEW.DDS"), kN, kNewN},
        // By name, ignoring case; a folder part picks one of the two a.dds, with either separator.
        {{"-m", "a.kel", "new.DDS", "./NEW.DDS"}, Merge(At(kN), "./NEW.DDS"), kN, kNewN},
        {{"-m", "a.kel", "chara\\a.dds", "new.dds"}, Merge(At(kA), "new.dds"), kA, kNewA},
        {{"-m", "a.kel", "chara/a.dds", "new.dds"}, Merge(At(kA), "new.dds"), kA, kNewA},
        // Any run of the path's bytes: from inside a double-byte folder into the file name.
        {{"-m", "a.kel", InLocale("示/a.dd", locale), "new.dds"}, Merge(At(kB), "new.dds"), kB, kNewA},
        // By address; a short replacement is checked on the bytes it has; the archive may grow.
        {{"-m", "a.kel", "new.dds", At(kA)}, Merge(At(kA), "new.dds"), kA, kNewA},
        {{"-m", "a.kel", "pk.bin", At(kPk)}, Merge(At(kPk), "pk.bin"), kPk, "PK"},
        {{"-m", "a.kel", "grow.bin", At(kPk)}, Merge(At(kPk), "grow.bin"), kPk, kPk + "GROW"},
        // Held by another kel for a moment: a merge waits for a reader, a reader for a writer.
        {{"-m", "a.kel", "chara\\a.dds", "./new.dds"},
         kWaited + Merge(At(kA), "./new.dds"),
         kA,
         kNewA,
         LOCK_SH},
        {{"-l", "neg.kel"},
         "Waiting for neg.kel, in use by another program\n   Address       Size Name\n" + kRule +
             "0xFFFFFFFFFFFFFFF0          4 neg.bin\n" + kRule + "Total 1 files / 4 bytes\n" + kNegCut,
         "",
         "",
         LOCK_EX},
        // Refusals. The search name is reported before the replacement is looked for.
        {{"-m", "a.kel", "./zzz.dds"}, Error("そのファイルはアーカイブ内に存在しません(zzz.dds)")},
        {{"-m", "a.kel", "Chara\\a.dds", "new.dds"},
         Error("そのファイルはアーカイブ内に存在しません(Chara\\a.dds)")},
        {{"-m", "a.kel", "a.dds"}, Error("そのファイル名はアーカイブ内に複数存在します(a.dds)")},
        {{"-m", "a.kel", "chara/a.dds", "no.dds"}, Error("ファイルが見つかりません(no.dds)")},
        {{"-m", "a.kel", "chara\\a.dds", "long.dds"},
         Error("アーカイブ内のファイルサイズと違います(arc=64/in=65)")},
        {{"-m", "a.kel", "chara\\a.dds", "bad.dds"},
         Merge(At(kA), "bad.dds") + Error("先頭データ4バイトが不一致")},
        {{"-m", "a.kel", "px.bin", At(kPk)}, Merge(At(kPk), "px.bin") + Error("先頭データ4バイトが不一致")},
        // Missing archive bytes are no match, and nothing grows the archive up to a far address.
        {{"-m", "a.kel", "end.bin", At("")}, Merge(At(""), "end.bin") + PastEnd(At(""))},
        {{"-m", "a.kel", "empty.bin", "0x40000000"},
         Merge("0x40000000", "empty.bin") + PastEnd("0x40000000")},
        // 2 GiB are no longer too large; the zeros of this one do not match.
        {{"-m", "a.kel", "huge.bin", At(kPk)},
         Merge(At(kPk), "huge.bin") + Error("先頭データ4バイトが不一致")},
        // A device has no size to merge.
        {{"-m", "a.kel", "/dev/null", "0x0"}, Error("ファイルオープンに失敗(/dev/null)")},
        // The archive itself under another name: already held for writing.
        {{"-m", "a.kel", "./a.kel", "0x0"}, Error("ファイルオープンに失敗(./a.kel)")},
        // Read-only to its user.
        {{"-m", "a.kel", "NEW.DDS"}, kBusy, "", "", LOCK_UN, {"", "", true}},
        // Writes stop at the archive's present size; the bytes up to it are written as they were.
        {{"-m", "a.kel", "grow.bin", At(kPk)},
         Merge(At(kPk), "grow.bin") + Error("ファイル書き込みに失敗(a.kel)"),
         "",
         "",
         LOCK_UN,
         {"", "", false, static_cast<long>(kOriginal.size())}},
        // An archive whose data are cut, or whose record points past any file, is refused by every form.
        {{"-m", "cut.kel", "NEW.DDS"}, kCutMessage},
        {{"-m", "cut.kel", "pk.bin", At(kPk)}, kCutMessage},
        {{"-r", "cut.kel", "NEW.DDS"}, kCutMessage},
        {{"-m", "neg.kel", "neg.bin"}, kNegCut},
        // Replacing refuses as merging does, and also where the archive may not grow; a name is
        // made of whole components.
        {{"-r", "a.kel", "./zzz.dds"}, Error("そのファイルはアーカイブ内に存在しません(zzz.dds)")},
        {{"-r", "a.kel", "a.dds"}, Error("そのファイル名はアーカイブ内に複数存在します(a.dds)")},
        {{"-r", "a.kel", "hara/a.dds", "new.dds"},
         Error("そのファイルはアーカイブ内に存在しません(hara/a.dds)")},
        {{"-r", "a.kel", "chara/a.dds", "no.dds"}, Error("ファイルオープンに失敗(no.dds)")},
        {{"-r", "a.kel", "b.bin", "./a.kel"}, Error("ファイルオープンに失敗(./a.kel)")},
        {{"-r", "a.kel", "NEW.DDS"}, kBusy, "", "", LOCK_UN, {"", "", true}},
        {{"-r", "a.kel", "b.bin", "grow.bin"},
         "Replace " + At("") + " in grow.bin (36 -> 40 bytes) as b.bin\n" +
             Error("ファイル書き込みに失敗(a.kel)"),
         "",
         "",
         LOCK_UN,
         {"", "", false, static_cast<long>(kOriginal.size())}},
    };
    for (const Case& row : cases) {
      SCOPED_TRACE(std::string(locale) + " " + ::testing::PrintToString(row.args));
      // Advisory locks, other users and file size limits are POSIX's.
      if (WindowsBuild() && (row.lock != LOCK_UN || row.run.asNobody || row.run.fileSizeLimit >= 0)) continue;
      ScopedTempDir dir;
      for (const auto& [name, bytes] : kFiles) WriteFile(dir / name, bytes);
      EXPECT_EQ(truncate((dir / "huge.bin").c_str(), off_t{1} << 31), 0);  // sparse, never read
      if (row.run.asNobody) chmod((dir / "a.kel").c_str(), 0444);
      const int held = open((dir / row.args[1]).c_str(), O_RDONLY | O_CLOEXEC);
      EXPECT_EQ(flock(held, row.lock), 0);
      auto release = std::async(std::launch::async, [held, &row] {
        if (row.lock != LOCK_UN) usleep(400000);
        close(held);
      });
      EXPECT_EQ(RunKel(row.args, {locale, dir.path(), row.run.asNobody, row.run.fileSizeLimit}),
                (RunResult{InLocale(row.out, locale), row.data.empty() ? 255 : 0}));
      release.get();
      std::string expected = std::find_if(std::begin(kFiles), std::end(kFiles), [&row](const auto& file) {
                               return file.first == row.args[1];
                             })->second;
      if (!row.data.empty())
        expected.replace(expected.find(Scramble(row.target)), row.data.size(), Scramble(row.data));
      EXPECT_EQ(ReadFile(dir / row.args[1]), expected);
      // Read back through the tool, the archive holds exactly what went in.
      EXPECT_EQ(RunKel({"-e", row.args[1], "0", "-1", "x"}, {locale, dir.path()}).status, 0);
      EXPECT_EQ(ReadFile(dir / "x"), Scramble(expected));
    }
  }
}

// In Shift-JIS each of these names holds a 0x5C that is a second byte, not
// a folder separator: the bare name is the whole name, to extract by address,
// to merge by file and to merge by bare name.
TEST(MergeTest, BareNamesAreWholeWhenABackslashByteEndsACharacter) {
  const std::string names[] = {"表情_010.dds", "能力表.dat", "ソース.txt", "十字.png", "予告.ogg", "表.bin"};
  std::vector<Node> tree;
  for (const std::string& name : names)
    tree.push_back(Folder(InLocale("キャラ", "C"), {File(InLocale(name, "C"), "DATA" + name)}));
  const std::string original = BuildArchive(tree).Bytes();
  for (const char* locale : {"C", "C.utf8"}) {
    for (const std::string& utf8 : names) {
      SCOPED_TRACE(std::string(locale) + " " + utf8);
      const std::string name = InLocale(utf8, locale), onDisk = OnDisk(utf8, locale);
      char at[16], size[16];
      snprintf(at, sizeof at, "0x%08zX", original.find(Scramble("DATA" + utf8)));
      snprintf(size, sizeof size, "%08zX", utf8.size() + 4);
      ScopedTempDir dir;
      WriteFile(dir / "a.kel", original);
      std::filesystem::create_directories(dir / "m");
      std::filesystem::create_directories(dir / "n");
      WriteFile(dir / "m/" + onDisk, "DATA" + std::string(utf8.size(), 'm'));
      WriteFile(dir / "n/" + onDisk, "DATA" + std::string(utf8.size(), 'n'));
      EXPECT_EQ(RunKel({"-e", "a.kel", at}, {locale, dir.path()}),
                (RunResult{"Extract " + std::string(at) + "-" + size + " to " + name + "\n", 0}));
      EXPECT_EQ(ReadFile(dir / onDisk), "DATA" + utf8);
      EXPECT_EQ(RunKel({"-m", "a.kel", "m/" + name}, {locale, dir.path()}),
                (RunResult{Merge(at, "m/" + name), 0}));
      EXPECT_EQ(RunKel({"-m", "a.kel", name, "n/" + name}, {locale, dir.path()}),
                (RunResult{Merge(at, "n/" + name), 0}));
      EXPECT_EQ(RunKel({"-e", "a.kel", at, "n"}, {locale, dir.path()}).status, 0);
      EXPECT_EQ(ReadFile(dir / "n/" + onDisk), "DATA" + std::string(utf8.size(), 'n'));
    }
  }
}

// A sparse archive on a nearly full disk: the merge is refused before it
// writes, not when the space runs out half-way.
TEST(MergeTest, AFullDiskRefusesBeforeTheFirstWrite) {
  if (WindowsBuild()) GTEST_SKIP() << "the holes of a Linux sparse file cannot be reserved through wine";
  ScopedTempDir dir;
  const std::string disk = dir / "disk";
  mkdir(disk.c_str(), 0777);
  if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "no tmpfs could be mounted here: " << strerror(errno);
  }
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{disk};
  // The stored 4 MiB are a hole, whose zeros read back as 0xC6 bytes.
  Archive archive = BuildArchive({Placed("big.bin", 4096, 4 << 20)});
  archive.size = 4096 + (4 << 20);
  ASSERT_TRUE(archive.WriteTo(disk + "/a.kel"));
  WriteFile(dir / "big.bin", std::string(4, '\xC6') + std::string((4 << 20) - 4, 'r'));
  const int fill = open((disk + "/fill").c_str(), O_WRONLY | O_CREAT, 0666);
  const std::string block(4096, 'f');
  off_t filled = 0;
  while (write(fill, block.data(), block.size()) > 0) filled += 4096;
  EXPECT_EQ(ftruncate(fill, filled - (256 << 10)), 0);
  close(fill);
  const std::string before = ReadFile(disk + "/a.kel");
  for (const char* locale : {"C", "C.utf8"}) {
    EXPECT_EQ(RunKel({"-m", disk + "/a.kel", "big.bin"}, {locale, dir.path()}),
              (RunResult{InLocale(Merge("0x00001000", "big.bin") +
                                      Error("ファイル書き込みに失敗(" + disk + "/a.kel)"),
                                  locale),
                         255}));
    EXPECT_EQ(ReadFile(disk + "/a.kel"), before);
  }
}

// -r on archives with the directory before and after the data, for the
// first, a middle and the last stored file, by a larger, an equal and a
// smaller file: the new bytes go behind everything claimed, the listing
// shows them, every stored file extracts as it should, and a compact copy
// is the archive built afresh with them. Put back (by -r or -u), the old
// bytes fill the slot they left, and the archive is again what it was.
TEST(ReplaceTest, RoundTripsForEverySizeAndPlace) {
  // Stored path, the name that -r gives when putting the old bytes back, data.
  const std::tuple<std::string, std::string, std::string> stored[] = {
      {"first.txt", "FIRST.txt", "FIRST-data"},
      {"d\\middle.txt", "D/Middle.TXT", "MIDDLE-data"},
      {"last.txt", "last.TXT", "LAST-data"}};
  for (const bool directoryLast : {false, true}) {
    const auto build = [directoryLast](const std::string& path, const std::string& data) {
      const auto content = [&](const std::string& stored, const std::string& old) {
        return stored == path ? data : old;
      };
      return BuildArchive({File("first.txt", content("first.txt", "FIRST-data")),
                           Folder("d", {File("middle.txt", content("d\\middle.txt", "MIDDLE-data"))}),
                           File("last.txt", content("last.txt", "LAST-data"))},
                          directoryLast)
          .Bytes();
    };
    const std::string original = build("", "");
    for (const auto& [path, storedName, old] : stored) {
      for (const int delta : {5, 0, -3}) {
        SCOPED_TRACE(std::to_string(directoryLast) + " " + path + " " + std::to_string(delta));
        const std::string name = path.substr(path.rfind('\\') + 1);
        const std::string fresh(old.size() + delta, 'N');
        char at[16], oldAt[16], line[96];
        snprintf(at, sizeof at, "0x%08zX", original.size());
        snprintf(oldAt, sizeof oldAt, "0x%08zX", original.find(Scramble(old)));
        snprintf(line, sizeof line, "%s %10zu %s\n", at, fresh.size(), path.c_str());
        ScopedTempDir dir;
        WriteFile(dir / "a.kel", original);
        std::filesystem::create_directory(dir / "r");
        WriteFile(dir / "r/" + name, fresh);
        WriteFile(dir / "old", old);
        const auto replace = [&](const std::string& address, const std::string& file, const std::string& from,
                                 const std::string& to) {
          return RunResult{
              "Replace " + address + " in " + file + " (" + from + " -> " + to + " bytes) as " + path + "\n",
              0};
        };
        const std::string sizes[] = {std::to_string(old.size()), std::to_string(fresh.size())};
        EXPECT_EQ(RunKel({"-r", "a.kel", "r/" + name}, {"C", dir.path()}),
                  replace(at, "r/" + name, sizes[0], sizes[1]));
        EXPECT_EQ(std::filesystem::file_size(dir / "a.kel"), original.size() + fresh.size());
        EXPECT_NE(RunKel({"-l", "a.kel"}, {"C", dir.path()}).out.find(line), std::string::npos) << line;
        EXPECT_EQ(RunKel({"-d", "a.kel", "o"}, {"C", dir.path()}).status, 0);
        for (const auto& [otherPath, otherName, otherData] : stored) {
          std::string onDisk = otherPath;
          std::replace(onDisk.begin(), onDisk.end(), '\\', '/');
          EXPECT_EQ(ReadFile(dir / "o/" + onDisk), otherPath == path ? fresh : otherData) << otherPath;
        }
        EXPECT_EQ(RunKel({"-c", "a.kel", "c.kel"}, {"C", dir.path()}).status, 0);
        EXPECT_EQ(ReadFile(dir / "c.kel"), build(path, fresh));
        if (directoryLast) {
          std::string onDisk = path;
          std::replace(onDisk.begin(), onDisk.end(), '\\', '/');
          std::filesystem::create_directories(dir / "u/d");
          WriteFile(dir / "u/" + onDisk, old);
          EXPECT_EQ(RunKel({"-u", "a.kel", "u"}, {"C", dir.path()}),
                    (RunResult{"Update " + std::string(oldAt) + " " + path + " (" + sizes[1] + " -> " +
                                   sizes[0] + " bytes)\nTotal 1 changed, 0 unchanged, 0 not in the archive\n",
                               0}));
        } else {
          EXPECT_EQ(RunKel({"-r", "a.kel", storedName, "old"}, {"C", dir.path()}),
                    replace(oldAt, "old", sizes[1], sizes[0]));
        }
        EXPECT_EQ(ReadFile(dir / "a.kel"), original);
      }
    }
  }
}

// Signals at many moments of a write into the archive: SIGINT during a merge
// (it waits for the write), SIGKILL during replacements that grow (written
// behind the end) and shrink (in place, through a copy behind the end). The
// archive extracts as wholly old or wholly new; a merge changes no other byte.
TEST(MergeTest, InterruptedWritesLeaveTheOldOrTheNewArchive) {
  const std::string old = "BIG " + std::string(16 << 20, 'o');
  const std::string original =
      BuildArchive({File("a", "head"), File("big.bin", old), File("z", "tail")}).Bytes();
  const struct {
    std::vector<std::string> args;
    int signal;
    size_t size;
    int step;  // microseconds between the moments; the replacements wait for the disk
  } rows[] = {{{"-m", "a.kel", "big.bin"}, SIGINT, 16 << 20, 1500},
              {{"-r", "a.kel", "big.bin"}, SIGKILL, 24 << 20, 8000},
              {{"-r", "a.kel", "big.bin"}, SIGKILL, 4 << 20, 4000},
              {{"-u", "a.kel", "w"}, SIGKILL, 24 << 20, 8000}};
  for (const auto& row : rows) {
    const std::string fresh = "BIG " + std::string(row.size, 'n');
    std::string merged = original;
    merged.replace(original.find(Scramble(old)), old.size(), Scramble(fresh));
    ScopedTempDir dir;
    WriteFile(dir / "big.bin", fresh);
    std::filesystem::create_directory(dir / "w");
    WriteFile(dir / "w/big.bin", fresh);
    int wholly[2] = {};  // old, new
    for (int run = 0; run < 20; ++run) {
      SCOPED_TRACE(row.args[0] + " " + std::to_string(row.size) + " " + std::to_string(run));
      WriteFile(dir / "a.kel", original);
      const RunResult result = RunKel(row.args, {"C", dir.path(), false, -1, row.signal, row.step * run});
      if (row.signal == SIGINT) {
        // Outside the write nothing waits for the signal: it may end the
        // process itself. Under wine, one that comes while the process ends
        // may also have wine's server end it with SIGKILL.
        EXPECT_TRUE(result.status == 0 || result.status == InterruptedStatus() ||
                    result.status == 128 + SIGINT || (WindowsBuild() && result.status == 128 + SIGKILL))
            << result.status;
        const std::string after = ReadFile(dir / "a.kel");
        EXPECT_TRUE(after == original || after == merged);
      }
      std::filesystem::remove_all(dir / "o");
      ASSERT_EQ(RunKel({"-d", "a.kel", "o"}, {"C", dir.path()}).status, 0);
      const std::string big = ReadFile(dir / "o/big.bin");
      EXPECT_TRUE(big == old || big == fresh);
      EXPECT_EQ(ReadFile(dir / "o/a") + ReadFile(dir / "o/z"), "headtail");
      ++wholly[big == fresh];
      // The same command again finishes the job and cuts off what a killed one left behind
      // everything claimed; a put-back finds nothing left to do.
      if (row.signal != SIGKILL) continue;
      ASSERT_EQ(RunKel(row.args, {"C", dir.path()}).status, 0);
      const size_t end = original.size(), n = fresh.size();
      EXPECT_EQ(std::filesystem::file_size(dir / "a.kel"), big == old || row.args[0] == "-u" ? end + n
                                                           : n <= old.size()                 ? end
                                                                                             : end + 2 * n);
    }
    std::cout << row.args[0] << " by " << fresh.size() << " bytes: old " << wholly[0] << ", new " << wholly[1]
              << "\n";
  }
  // Ctrl-C 0.3 s into a 2.5 GiB replacement cancels it at once: the archive as it was, nothing behind it.
  ScopedTempDir dir;
  WriteFile(dir / "a.kel", original);
  WriteFile(dir / "big.bin", "");
  ASSERT_EQ(truncate((dir / "big.bin").c_str(), off_t{5} << 29), 0);
  char at[24];
  snprintf(at, sizeof at, "0x%08zX", original.size());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunKel({"-r", "a.kel", "big.bin"}, {"C", dir.path(), false, -1, SIGINT, 300000}),
            (RunResult{InLocale("Replace " + std::string(at) +
                                    " in big.bin (16,777,220 -> 2,684,354,560 bytes) as "
                                    "big.bin\nerror : 中断のため書き出しを取り消しました(a.kel).\n",
                                "C"),
                       InterruptedStatus()}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1300));
  EXPECT_EQ(ReadFile(dir / "a.kel"), original);
}

TEST(MergeTest, MergeDuringExtractionKeepsBoth) {
  // More than a pipe holds: the extraction stays blocked on its output, with
  // the archive open, until the test reads.
  const std::string big = "DDS " + std::string(1 << 20, 'q'),
                    original = BuildArchive({File("big.dds", big)}).Bytes();
  for (const char* locale : {"C", "C.utf8"}) {
    SCOPED_TRACE(locale);
    ScopedTempDir dir;
    WriteFile(dir / "a.kel", original);
    WriteFile(dir / "big.dds", "DDS " + std::string(1 << 20, 'r'));
    ASSERT_EQ(mkdir((dir / "out").c_str(), 0777) | mkfifo((dir / "out/big.dds").c_str(), 0666), 0);
    // The test's end of the FIFO, open before the extraction opens the other.
    pollfd ready{open((dir / "out/big.dds").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC), POLLIN, 0};
    auto extract = std::async(std::launch::async, [&] {
      return RunKel({"-d", "a.kel", "out"}, {locale, dir.path()});
    });
    const bool blocked = poll(&ready, 1, 10000) == 1;
    // The merge waits for the extraction, which the test then lets go on.
    auto merge = std::async(std::launch::async, [&] {
      return RunKel({"-m", "a.kel", "big.dds"}, {locale, dir.path()});
    });
    usleep(300000);
    // Had it never blocked, closing the only reader ends it rather than the test hanging.
    EXPECT_EQ(blocked ? ReadFile(dir / "out/big.dds") : "", big);
    close(ready.fd);
    EXPECT_EQ(extract.get(), (RunResult{"Extract to out\\.\nbig.dds 1,048,580 bytes..\n", 0}));
    const size_t at = original.find(Scramble(big));
    char head[64];
    snprintf(head, sizeof head, "Merge 0x%08zX in big.dds\n", at);
    EXPECT_EQ(merge.get(), (RunResult{InLocale(kWaited, locale) + head, 0}));
    EXPECT_EQ(ReadFile(dir / "a.kel"), original.substr(0, at) + Scramble(ReadFile(dir / "big.dds")));
  }
}

}  // namespace
}  // namespace kel::testing
