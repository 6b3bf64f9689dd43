// Long runs kept out of `make test` (make soak, Linux only): every write into an
// archive with each of its I/O calls failing, crashing the process or
// bringing SIGINT in turn (through the fault_shim library), and power cuts
// replayed from the order of its writes and syncs. After each, the archive
// must read as wholly old or wholly new, the exit status must say which,
// and the same command again must finish the job; and what a killed -m or
// -r left must do nothing to another archive. Then interrupts at moments of
// an extraction, a long write and two writers at once, a put-back raced
// against a writer, and a process that swaps links into a destination while
// it is extracted to.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <thread>

#include "archive_writer.h"
#include "test_support.h"

namespace kel::testing {
namespace {

// Every KiB different, so that a chunk written to the wrong place shows.
std::string Pattern(size_t size, char seed) {
  std::string bytes(size, seed);
  for (size_t at = 0; at < size; at += 1024)
    bytes.replace(at, 8, (seed + std::to_string(at) + "        ").substr(0, std::min<size_t>(8, size - at)));
  return bytes.replace(0, 4, "BIG ");
}

const std::string kOld = Pattern(5 << 19, 'o');
const std::string kOriginal =
    BuildArchive({File("a", "head"), Folder("d", {File("big.bin", kOld)}), File("z", "tail")}).Bytes();
const char* const kOutcomes[] = {"old", "new", "NEITHER"};

struct Soak {
  ScopedTempDir dir;
  std::string fresh, copy;
  std::vector<std::string> settings;  ///< of the fault library, for every run

  // Extracts everything, which first rolls back what a stopped write left:
  // 0 wholly old, 1 wholly new, 2 neither.
  int Read() {
    std::filesystem::remove_all(dir / "o");
    if (RunKel({"-d", "a.kel", "o"}, {"C", dir.path()}).status != 0 ||
        ReadFile(dir / "o/a") + ReadFile(dir / "o/z") != "headtail") {
      return 2;
    }
    const std::string big = ReadFile(dir / "o/d/big.bin");
    // A copy that a compaction left is whole.
    if (std::filesystem::exists(dir / "new.kel") && ReadFile(dir / "new.kel") != copy) return 2;
    return big == kOld ? 0 : big == fresh ? 1 : 2;
  }
  RunResult Run(const std::vector<std::string>& args, std::vector<std::string> faults = {}) {
    faults.push_back("LD_PRELOAD=" KEL_FAULT_SHIM);
    faults.insert(faults.end(), settings.begin(), settings.end());
    return RunKel(args, {"C", dir.path(), false, -1, 0, 0, faults});
  }
  // Whether a kel that reads the archive finds a stopped write to roll back.
  bool RollsBack() {
    const std::string before = ReadFile(dir / "a.kel");
    RunKel({"-l", "a.kel"}, {"C", dir.path()});
    return ReadFile(dir / "a.kel") != before;
  }
  // The names beside the archive and new.kel that a compaction left; `clear`: removes them, and
  // those two.
  int Leftovers(bool clear = false) {
    int count = 0;
    for (const auto& item : std::filesystem::directory_iterator(dir.path())) {
      const std::string name = item.path().filename();
      if (clear && (name.rfind("a.kel", 0) == 0 || name.rfind("new.kel", 0) == 0))
        std::filesystem::remove(item);
      count += name.rfind("a.kel.", 0) == 0 || name.rfind("new.kel.", 0) == 0;
    }
    return count;
  }
};

// One change a run made (see fault_shim.cc).
// What a killed write left (`image`) against another archive, as a stored
// file's data (plain, and as stored), as its appended tail, as files beside
// it, and its last 80 bytes (a trailer) appended: every command leaves each stored file (but the one a write
// changes) as it was; a read every byte, a write the archive's own bytes
// and its length (a compaction, what nothing claims).
void Attack(const std::string& image, std::map<std::string, int>& tally) {
  ScopedTempDir dir;
  std::filesystem::create_directories(dir / "w");
  for (const std::string name : {"s.bin", "t.bin", "w/t.bin"}) WriteFile(dir / name, "....new");
  const std::string data[] = {image, StoredBytes(image), "z", "z", "z"};
  for (int way = 0; way < 5; ++way) {
    const std::string tail = way == 2 ? image : way == 4 ? image.substr(image.size() - 80) : "";
    const std::string archive =
        BuildArchive({File("s.bin", "....old"), File("t.bin", "....old"), File("z.bin", data[way])}).Bytes() +
        tail;
    WriteFile(dir / "v.kel.compact", way == 3 ? image : "");
    WriteFile(dir / "v.kel-journal", way == 3 ? image : "");
    for (const std::string command : {"-l v.kel", "-t v.kel", "-d v.kel x", "-e v.kel 0 64 e",
                                      "-m v.kel s.bin", "-r v.kel t.bin", "-u v.kel w", "-c v.kel"}) {
      std::istringstream words(command);
      const std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
      std::string changed = args[0] == "-m" ? "s.bin" : "";
      if (args[0] == "-r" || args[0] == "-u") changed = "t.bin";
      WriteFile(dir / "v.kel", archive);
      const RunResult run = RunKel(args, {"C", dir.path()});
      const std::string now = ReadFile(dir / "v.kel");
      bool kept = run.status == 0 && now == archive;
      if (!changed.empty() || args[0] == "-c") {
        // A write: every stored file reads as it should, and the archive's own bytes stay.
        std::filesystem::remove_all(dir / "o");
        kept = run.status == 0 && RunKel({"-d", "v.kel", "o"}, {"C", dir.path()}).status == 0 &&
               ReadFile(dir / "o/z.bin") == data[way] &&
               (args[0] == "-c" || (now.size() >= archive.size() &&
                                    now.compare(archive.size() - tail.size(), tail.size(), tail) == 0));
        for (const std::string name : {"s.bin", "t.bin"})
          kept = kept && ReadFile(dir / ("o/" + name)) == (name == changed ? "....new" : "....old");
      }
      EXPECT_TRUE(kept) << "way " << way << ", " << command << ": " << run.out << run.status;
      ++tally[kept ? "attack kept" : "attack LOST"];
    }
  }
}

struct Op {
  char kind = 0;
  uint64_t inode = 0, position = 0;
  std::string bytes;
  bool Names() const { return strchr("NRU", kind) != nullptr; }
  // Its name, or the second of a rename, without the folder.
  std::string Name(bool second = false) const {
    return std::filesystem::path(bytes.c_str() + (second ? strlen(bytes.c_str()) + 1 : 0)).filename();
  }
};

std::vector<Op> ReadLog(const std::string& log) {
  std::vector<Op> ops;
  for (size_t at = 0; at < log.size(); at += 32 + ops.back().bytes.size()) {
    uint64_t head[4];
    memcpy(head, &log[at], sizeof head);
    ops.push_back({static_cast<char>(head[0]), head[1], head[2], log.substr(at + 32, head[3])});
  }
  return ops;
}

// What a disk holds: files by inode, and the names that lead to them.
struct Disk {
  std::map<std::string, uint64_t> names;
  std::map<uint64_t, std::string> files;
  // Applies the first `count` bytes of a write, or the whole of a change.
  void Apply(const Op& op, size_t count = std::string::npos) {
    std::string& file = files[op.inode];
    const std::string piece = op.Names() ? "" : op.bytes.substr(0, count);
    if (op.kind == 'T' || (op.kind == 'W' && file.size() < op.position + piece.size()))
      file.resize(op.position + piece.size());
    if (op.kind == 'W') file.replace(op.position, piece.size(), piece);
    if (op.kind == 'N') names[op.Name()] = op.inode;
    // Names change in order: a rename never lands before the name it moves.
    if (op.kind == 'R' && names.count(op.Name()))
      names[op.Name(true)] = names[op.Name()], names.erase(op.Name());
    if (op.kind == 'U') names.erase(op.Name());
  }
  void WriteTo(Soak& soak) const {
    soak.Leftovers(true);
    for (const auto& [name, inode] : names)
      WriteFile(soak.dir / name, files.count(inode) ? files.at(inode) : "");
  }
};

TEST(Soak, EveryStopOfAWriteLeavesTheOldOrTheNewArchive) {
  char at[24];
  snprintf(at, sizeof at, "0x%08zX", kOriginal.find(StoredBytes(kOld)));
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string fresh;
    std::vector<std::string> setting = {};
  } commands[] = {
      {"-m by address", {"-m", "a.kel", "big.bin", at}, Pattern(kOld.size(), 'n')},
      {"-m by name", {"-m", "a.kel", "d/big.bin", "big.bin"}, Pattern(kOld.size(), 'n')},
      {"-r growing", {"-r", "a.kel", "big.bin"}, Pattern(kOld.size() + (3 << 19), 'g')},
      {"-r shrinking", {"-r", "a.kel", "big.bin"}, Pattern(1 << 20, 's')},
      {"-r same size", {"-r", "a.kel", "d/big.bin", "big.bin"}, Pattern(kOld.size(), 'e')},
      {"-u growing", {"-u", "a.kel", "w"}, Pattern(kOld.size() + 3, 'u')},
      {"-u shrinking", {"-u", "a.kel", "w"}, Pattern(kOld.size() - 3, 'v')},
      // A compaction changes no stored file: old and new read the same. Its copy is made unnamed, or
      // named where the file system cannot.
      {"-c", {"-c", "a.kel"}, kOld},
      {"-c named", {"-c", "a.kel"}, kOld, {"KEL_FAULT_NO_TMPFILE=1"}},
      {"-c to new.kel", {"-c", "a.kel", "new.kel"}, kOld},
  };
  const std::map<std::string, int> signals = {{"signal", SIGINT}, {"term", SIGTERM}, {"hup", SIGHUP}};
  for (const auto& command : commands) {
    Soak soak;
    soak.fresh = command.fresh;
    std::filesystem::create_directories(soak.dir / "w/d");
    WriteFile(soak.dir / "big.bin", command.fresh);
    WriteFile(soak.dir / "w/d/big.bin", command.fresh);
    WriteFile(soak.dir / "a.kel", kOriginal);
    struct stat archive;
    stat((soak.dir / "a.kel").c_str(), &archive);
    soak.settings = command.setting;
    soak.Run(command.args, {"KEL_FAULT_COUNT=" + soak.dir / "count", "KEL_FAULT_LOG=" + soak.dir / "log"});
    const std::string done = ReadFile(soak.dir / "a.kel"), copy = soak.copy = ReadFile(soak.dir / "new.kel");
    const bool same = command.fresh == kOld, again = command.args[0] != "-r";
    const int calls = std::stoi(ReadFile(soak.dir / "count"));
    std::map<std::string, int> tally;
    std::string torn;
    for (const std::string fault : {"fail", "crash", "signal", "term", "hup"}) {
      for (int call = 1; call <= calls; ++call) {
        SCOPED_TRACE(std::string(command.name) + ": " + fault + " at call " + std::to_string(call));
        // SIGTERM comes to the write while it first rolls back what a killed one left, if one did.
        const std::string start = fault == "term" && !torn.empty() ? torn : kOriginal;
        WriteFile(soak.dir / "a.kel", start);
        std::filesystem::remove(soak.dir / "new.kel");
        const int status =
            soak.Run(command.args, {"KEL_FAULT=" + fault, "KEL_FAULT_AT=" + std::to_string(call)}).status;
        const std::string raw = ReadFile(soak.dir / "a.kel");
        if (fault == "crash" && torn.empty() && raw != kOriginal && soak.RollsBack()) torn = raw;
        // A signal ends a write as Ctrl-C does: the archive as it was (also as a killed write left
        // it, when the signal comes before its roll-back begins), old after that roll-back, or as
        // the write left it, at once, not first when the next kel rolls it back; a failure or a
        // signal leaves nothing beside it. A new copy is whole or absent, and absent after a
        // failure.
        if (signals.count(fault)) {
          EXPECT_TRUE(status == 128 + signals.at(fault) && (raw == start || raw == kOriginal || raw == done))
              << status;
        }
        EXPECT_TRUE(fault == "crash" || soak.Leftovers() == 0);
        EXPECT_TRUE(std::filesystem::exists(soak.dir / "new.kel") ? soak.Read() != 2 && status != 255
                                                                  : status != 0 || copy.empty());
        const int outcome = raw == kOriginal ? 0 : raw == done ? !same : soak.Read();
        ++tally[fault + " " + kOutcomes[outcome]];
        // 0 says the new bytes are in, 255 that the old ones are.
        EXPECT_TRUE(outcome != 2 && (status != 0 || outcome == 1 || same) && (status != 255 || outcome == 0))
            << status;
        // The same command again finishes the job, and leaves nothing unclaimed behind it, and no
        // leftover beside it (the archive as it was or as the clean run left it has neither).
        if ((!again && outcome == 1) || ((raw == kOriginal || raw == done) && soak.Leftovers() == 0))
          continue;
        std::filesystem::remove(soak.dir / "new.kel");
        EXPECT_EQ(soak.Run(command.args).status, 0);
        EXPECT_EQ(std::filesystem::file_size(soak.dir / "a.kel"), done.size());
        EXPECT_EQ(soak.Leftovers(), 0);
      }
    }
    // Power cuts: a file's bytes last once it is synced, a folder's names once the folder is, in
    // order; any part of what came after, down to a write torn at its first sector boundary, may
    // reach the disk too.
    Disk durable;
    durable.names["a.kel"] = archive.st_ino;
    durable.files[archive.st_ino] = kOriginal;
    std::vector<Op> pending;
    const auto cut = [&] {
      std::vector<Disk> images = {durable};
      for (size_t i = 0; i < pending.size(); ++i) {
        Disk prefix = durable, alone = durable;
        for (size_t j = 0; j < i; ++j) prefix.Apply(pending[j]);
        alone.Apply(pending[i]);
        images.push_back(prefix);
        images.back().Apply(pending[i], 512 - pending[i].position % 512);
        prefix.Apply(pending[i]);
        images.insert(images.end(), {prefix, alone});
      }
      for (const Disk& image : images) {
        image.WriteTo(soak);
        const int outcome = soak.Read();
        EXPECT_NE(outcome, 2);
        ++tally[std::string("power cut ") + kOutcomes[outcome]];
      }
    };
    for (const Op& op : ReadLog(ReadFile(soak.dir / "log"))) {
      if (op.kind != 'S' && op.kind != 'D') {
        pending.push_back(op);
        continue;
      }
      SCOPED_TRACE(std::string(command.name) + ": power cut before sync " + op.kind);
      cut();
      for (auto it = pending.begin(); it != pending.end();) {
        const bool lasts = op.kind == 'D' ? it->Names() : !it->Names() && it->inode == op.inode;
        if (lasts) durable.Apply(*it);
        it = lasts ? pending.erase(it) : it + 1;
      }
    }
    cut();
    for (const Op& op : pending) durable.Apply(op);
    durable.WriteTo(soak);
    EXPECT_EQ(soak.Read(), same ? 0 : 1);
    std::cout << command.name << ": " << calls << " calls;";
    for (const auto& [what, count] : tally) std::cout << " " << what << " " << count << ",";
    std::cout << "\n";
  }
}

// A merge by name holds the archive from its walk to its last write: a -r
// that comes in between (here while the merge waits a second before its
// second open, that of its replacement) waits too. Ctrl-C 0.3 s into a
// replacement of 2.5 GiB cancels it at once: the archive as it was.
// What -m and -r leave when killed at each of their I/O calls, against other archives.
TEST(Soak, WhatAKilledWriteLeftIsNoJournalOfAnotherArchive) {
  std::map<std::string, int> tally;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-m", "a.kel", "b.bin"}, std::vector<std::string>{"-r", "a.kel", "b.bin"}}) {
    for (int call = 1;; ++call) {
      Soak soak;
      ASSERT_TRUE(BuildArchive({File("a", "head"), File("b.bin", "BIG old")}).WriteTo(soak.dir / "a.kel"));
      WriteFile(soak.dir / "b.bin", "BIG new");
      if (soak.Run(args, {"KEL_FAULT=crash", "KEL_FAULT_AT=" + std::to_string(call)}).status != 128 + SIGKILL)
        break;
      Attack(ReadFile(soak.dir / "a.kel"), tally);
    }
  }
  for (const auto& [what, count] : tally) std::cout << what << " " << count << "\n";
}

TEST(Soak, WritesWaitForEachOtherAndCancelAtOnce) {
  Soak soak;
  soak.fresh = "other";
  WriteFile(soak.dir / "a.kel", kOriginal);
  WriteFile(soak.dir / "big.bin", Pattern(kOld.size(), 'n'));
  WriteFile(soak.dir / "other.bin", "other");
  auto merge = std::async(std::launch::async, [&soak] {
    return soak.Run({"-m", "a.kel", "d/big.bin", "big.bin"}, {"KEL_FAULT=pause", "KEL_FAULT_AT=2"});
  });
  usleep(300000);
  const RunResult replace = RunKel({"-r", "a.kel", "d/big.bin", "other.bin"}, {"C", soak.dir.path()});
  EXPECT_EQ(merge.get().status, 0);
  EXPECT_EQ(replace.out.rfind("Waiting for a.kel, in use by another program\n", 0), 0u) << replace.out;
  EXPECT_EQ(soak.Read(), 1);
  WriteFile(soak.dir / "a.kel", kOriginal);
  WriteFile(soak.dir / "big.bin", "");
  std::filesystem::resize_file(soak.dir / "big.bin", uint64_t{5} << 29);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunKel({"-r", "-q", "a.kel", "big.bin"}, {"C", soak.dir.path(), false, -1, SIGINT, 300000}),
            (RunResult{InLocale("error : 中断のため書き出しを取り消しました(a.kel).\n", "C"), 128 + SIGINT}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1300));
  EXPECT_EQ(ReadFile(soak.dir / "a.kel"), kOriginal);
}

// A file that another writer rewrites while -u reads it, in a loop, a block at a time, one version
// and then the other: the put-back stores one whole version, or refuses it and writes nothing.
// Fails without the look at the file's times before and after, and without the quiet time.
TEST(Soak, APutBackNeverStoresAFileHalfOldHalfNew) {
  Soak soak;
  const std::string versions[] = {Pattern(kOld.size(), 'a'), Pattern(kOld.size(), 'b')};
  std::filesystem::create_directories(soak.dir / "w/d");
  WriteFile(soak.dir / "w/d/big.bin", versions[0]);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    const int fd = open((soak.dir / "w/d/big.bin").c_str(), O_WRONLY | O_CLOEXEC);
    for (size_t round = 0, at = 0; !stop; at = (at + (1 << 16)) % kOld.size(), round += at == 0) {
      if (pwrite(fd, versions[round % 2].data() + at, std::min<size_t>(1 << 16, kOld.size() - at), at) < 0)
        break;
      // A rest after 256 versions: a put-back may store the last one.
      if (at + (1 << 16) == kOld.size() && round % 256 == 255) usleep(400000);
    }
    close(fd);
  });
  std::map<int, int> statuses;
  for (int run = 0; run < 50; ++run) {
    WriteFile(soak.dir / "a.kel", kOriginal);
    const int status = RunKel({"-u", "-q", "a.kel", "w"}, {"C", soak.dir.path()}).status;
    soak.fresh = versions[0];
    const int outcome = soak.Read();
    const bool whole = outcome == 1 || (outcome == 2 && ReadFile(soak.dir / "o/d/big.bin") == versions[1]);
    EXPECT_TRUE(status == 0 ? whole : status == 255 && outcome == 0) << status;
    ++statuses[status];
  }
  stop = true;
  writer.join();
  std::cout << "-u while its file is rewritten: " << statuses[0] << " stored whole, " << statuses[255]
            << " refused\n";
}

// SIGINT at moments of the extraction of four files of 16 MiB, on one
// thread and on eight: each output is whole or gone, and a removed one is
// named.
TEST(Soak, ExtractionLeavesNoHalfWrittenFileWhenInterrupted) {
  const std::string big = Pattern(16 << 20, 'x');
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
      const std::string cut = InLocale("error : 中断のため書き出しを取り消しました(o\\" + name + ").\n", "C");
      EXPECT_TRUE(std::filesystem::exists(dir / ("o/" + name))
                      ? ReadFile(dir / ("o/" + name)) == big
                      : result.out.find("\n" + name + " ") == std::string::npos ||
                            result.out.find(cut) != std::string::npos)
          << result.out << ", exit " << result.status;
    }
  }
}

// A second process swaps dest/sub for a link to a folder outside, and an
// existing output for a link to outside/victim, and back, as fast as it
// can while kel -d writes 300 files there: nothing may land outside, and
// the victim keeps its bytes, in both text modes, at 1 and 8 threads, with
// the kernel's lookup beneath a folder and with the walk that stands in
// for it on kernels without.
TEST(Soak, NoRacingProcessLeadsAnOutputOutside) {
  std::vector<Node> sub;
  for (int i = 0; i < 300; ++i) sub.push_back(File("f" + std::to_string(i), "data"));
  ScopedTempDir dir;
  BuildArchive({File("out.txt", "stored"), Folder("sub", sub), File("out2.txt", "stored")})
      .WriteTo(dir / "a.kel");
  const std::string dest = dir / "dest", outside = dir / "outside", out = dest + "/out2.txt";
  int total = 0;
  for (const std::string walk : {"", "1"}) {
    for (const std::string locale : {"C", "C.utf8"}) {
      for (const std::string threads : {"-j1", "-j8"}) {
        int found = 0, victims = 0, runs = 0;
        for (; runs < 15; ++runs) {
          std::filesystem::remove_all(dest);
          std::filesystem::remove_all(outside);
          std::filesystem::create_directories(dest + "/sub");
          std::filesystem::create_directories(outside);
          WriteFile(outside + "/victim", "victim");
          WriteFile(dest + "/out.txt", "old");
          WriteFile(out, "old");
          const pid_t swapper = fork();
          while (swapper == 0) {
            rename((dest + "/sub").c_str(), (dest + "/real").c_str());
            symlink(outside.c_str(), (dest + "/sub").c_str());
            rename(out.c_str(), (dest + "/kept").c_str());
            symlink((outside + "/victim").c_str(), out.c_str());
            unlink((dest + "/sub").c_str());
            rename((dest + "/real").c_str(), (dest + "/sub").c_str());
            unlink(out.c_str());
            rename((dest + "/kept").c_str(), out.c_str());
          }
          RunKel({"-d", threads, "a.kel", "dest"},
                 {locale,
                  dir.path(),
                  false,
                  -1,
                  0,
                  0,
                  {"LD_PRELOAD=" KEL_FAULT_SHIM, "KEL_NO_OPENAT2=" + walk}});
          kill(swapper, SIGKILL);
          waitpid(swapper, nullptr, 0);
          found += static_cast<int>(ListTree(outside).size()) - 1;
          victims += ReadFile(outside + "/victim") != "victim";
        }
        std::cout << (walk.empty() ? "openat2 " : "walk ") << locale << " " << threads << ": " << runs
                  << " runs, " << found << " files outside, victim overwritten " << victims << " times\n";
        total += found + victims;
      }
    }
  }
  EXPECT_EQ(total, 0);
}

}  // namespace
}  // namespace kel::testing
