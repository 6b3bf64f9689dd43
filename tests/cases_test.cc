// The end-to-end cases of tests/cases.txt: each runs the real kel (or
// kel.exe under wine) in a fresh folder holding its section's archives and
// files, in the C locale (Shift-JIS bytes) and under C.utf8, and compares
// the whole output and the exit status, then what the folder holds.
//
// A section starts at "---". Its lines before the cases that use them:
//   archive NAME [last] [size=N] [cut=N]: ITEM; ...   ITEM: PATH=DATA, or
//       PATH@ADDRESS=DATA, or PATH@ADDRESS+SIZE (no data); "\" makes folders
//   raw NAME: TOKEN ...   header:END[:MAGIC] (END "dir": where the block
//       ends), block:LENGTH, dir ... /dir (a block of the records between),
//       rec:NAME:SIZE:ADDRESS[:FOLDER_FLAG], end[:COUNT], zeros:N,
//       bytes:DATA, stored:DATA, chop:N (the last N bytes so far left
//       out), cut:N (the file's last N bytes left out)
//   file PATH=DATA | sparse PATH SIZE | mkdir PATH | link PATH TARGET | hardlink PATH TARGET |
//   fifo PATH | mode PATH OCTAL:UID (its permission bits and owner, also its group)
//   killed NAME CALL: ARGS   (kel ARGS killed at its I/O call CALL, which leaves NAME as such a
//       stop leaves it; posix cases only) | journal NAME: SOURCE merge POSITION:COUNT | journal
//       NAME: SOURCE records POSITION:SIZE:ADDRESS ...   (a copy of SOURCE with the live journal
//       that kel's write code makes, as asked)
//   define NAME TEXT ({NAME} in later lines) | always CHECK | refused CHECK (for failing cases)
// A case: [OPTIONS] kel ARGS => STATUS OUTPUT, then lines "then CHECK".
//   OPTIONS: xx (also xx_XX.UTF-8), j8 (once more with -j8 behind -d),
//   posix / windows (only there), utf8 (output UTF-8 in every locale), stderr (standard error
//   follows standard output in OUTPUT, behind {stderr}),
//   bytes (C only, nothing converted), u8 (UTF-8 locales only), nobody (as uid 65534, the archive
//   read-only), limit=N (file size limit), cwd=DIR, lock=sh|ex:FILE (held
//   for the first 0.4 s), full (standard output is /dev/full), fault=KIND:CALL (the I/O call CALL
//   fails as fault_shim.cc's KIND says; posix only)
//   CHECK: kel ARGS => STATUS OUTPUT | $ SHELL COMMAND (run in the folder) | PATH=DATA | PATH absent |
//          tree DIR: PATH ... | ARCHIVE unchanged | ARCHIVE merged DATA => DATA |
//          FILE is ARCHIVE [DATA] (its bytes, then DATA) | PATH mode OCTAL:UID
// DATA: text with \xNN, ¶ (a line end), {N*c}, {rand N SEED [FROM]} and
// {xor DATA} and {file NAME [LAST]} (the bytes of a file made above, or its LAST bytes); OUTPUT also {usage},
// {head}, {rule}, {err TEXT} and the error lines of kMacros. A write case (-m, -r, -u, -c) that succeeds on
// an archive that -t calls clean must leave it clean.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "archive.h"
#include "archive_writer.h"
#include "journal.h"
#include "test_support.h"

namespace kel::testing {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Split(const std::string& text, const std::string& by) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t at = text.find(by); at != std::string::npos;
       start = at + by.size(), at = text.find(by, start)) {
    parts.push_back(text.substr(start, at - start));
  }
  parts.push_back(text.substr(start));
  return parts;
}

// Words split at blanks; "..." holds blanks, and "" is an empty word.
std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> std::ws && !in.eof(); words.push_back(word)) {
    if (in.peek() != '"') in >> word;
    if (in.peek() == '"') in.get(), std::getline(in, word, '"');
  }
  return words;
}

const std::map<std::string, std::string> kMacros = {
    {"head", "   Address       Size Name¶{rule}"},
    {"rule", "---------- ---------- -----------------------------------------------------¶"},
    {"usage",
     "kel ver.0.2¶Usage : kel -d [-q] [-k] [-j N] [-x pattern]... <kel_file> [dest_dir [pattern...]]¶{u "
     "<kel_file> [dest_dir [pattern...]]}{u -l [--json] [-x pattern]... <kel_file> [pattern...]}{u -t [-q] "
     "[-x "
     "pattern]... <kel_file>}{u -m [-q] <kel_file> "
     "<merge_file> [0x<address>]}{u -m [-q] <kel_file> <merge_name> <merge_file>}{u -e [-q] <kel_file> "
     "<address> "
     "<size> <dest_file>}{u -e [-q] [-k] <kel_file> <address> [dest_dir]}{u -r [-q] <kel_file> <file>}{u -r "
     "[-q] "
     "<kel_file> <stored_name> <file>}{u -u [-q] [-n] [--full] [-x pattern]... <kel_file> <folder> "
     "[pattern...]}{u -c [-q] <kel_file> [new_file]}{u -p [-x pattern]... <kel_file> [pattern...]}        -j "
     "N: 1 "
     "to 64 threads¶"},
    {"help",
     "{usage}¶  -d  extract every stored file, or those the patterns choose, below dest_dir¶  -l  list the "
     "stored "
     "files (--json: one JSON object per line, for programs)¶  -t  test the archive: data past its end, "
     "overlaps, "
     "unsafe names, unclaimed bytes¶  -m  merge a file over the stored file of its name, which has its size¶ "
     " -e  "
     "copy a byte range of the archive, or extract the stored file at an address¶  -r  replace a stored file "
     "by a "
     "file of any size¶  -u  put back every changed file of an extracted folder (-n: a dry run; --full: read "
     "every file)¶  -c  write "
     "a "
     "compact copy, without the bytes nothing claims¶  -p  write the stored bytes of the chosen files to "
     "standard "
     "output¶  -q: only error lines; -k: keep files that exist; -x: leave out what the pattern matches¶"},
    {"u", "        kel %¶"},
    {"err", "error : %.¶"},
    {"mistake", "{err %}{usage}"},
    {"cut", "{err アーカイブが途中で切れています(%bytes不足)}"},
    {"open", "{err ファイルオープンに失敗(%)}"},
    {"unsafe", "{err 安全でないパスのため書き出しません(%)}"},
    {"notin", "{err そのファイルはアーカイブ内に存在しません(%)}"},
    {"past", "{err データがアーカイブの終端を越えています(%)}"},
    {"number", "{err 数値が正しくありません(%)}"},
    {"wait", "Waiting for %, in use by another program¶"},
    {"stderr", "<stderr>¶"},
};

// Where {file NAME} finds its files: the folder of the case being prepared.
std::string filesFolder;

bool Known(const std::string& name) {
  const size_t star = name.find('*');
  return kMacros.count(name) || name == "rand" || name == "xor" || name == "file" ||
         (star > 0 && star != std::string::npos && star + 2 == name.size() &&
          name.find_first_not_of("0123456789") == star);
}

// Reads text from `at` up to an unmatched '}': \xNN, ¶ and {...} expanded in
// one pass, so that no byte made is read again.
std::string Expand(const std::string& text, size_t& at) {
  std::string out;
  while (at < text.size() && text[at] != '}') {
    const size_t nameEnd = text.find_first_of(" }", at);
    if (text.compare(at, 2, "\\x") == 0 && at + 3 < text.size() && isxdigit(text[at + 2]) &&
        isxdigit(text[at + 3])) {
      out += static_cast<char>(std::stoi(text.substr(at + 2, 2), nullptr, 16));
      at += 4;
    } else if (text.compare(at, 2, "¶") == 0) {
      out += '\n';
      at += 2;
    } else if (text[at] != '{' || !Known(text.substr(at + 1, nameEnd - at - 1))) {
      out += text[at++];  // a brace of the text itself, as in JSON
    } else {
      const std::string name = text.substr(at + 1, nameEnd - at - 1);
      at = text[nameEnd] == ' ' ? nameEnd + 1 : nameEnd;
      const std::string inside = Expand(text, at);
      const std::vector<std::string> words = Words(inside);
      ++at;
      if (kMacros.count(name)) {
        std::string macro = kMacros.at(name);
        if (macro.find('%') != std::string::npos) macro.replace(macro.find('%'), 1, inside);
        size_t from = 0;
        out += Expand(macro, from);
      } else if (name == "file") {
        const std::string bytes = ReadFile(filesFolder + "/" + words[0]);
        out += words.size() > 1 ? bytes.substr(bytes.size() - std::stoul(words[1])) : bytes;
      } else if (name == "rand") {
        std::mt19937 random(static_cast<unsigned>(std::hash<std::string>{}(words[1])));
        random.discard(words.size() > 2 ? std::stoul(words[2]) : 0);
        for (size_t i = std::stoul(words[0]); i > 0; --i) out += static_cast<char>(random());
      } else {
        out += name == "xor" ? StoredBytes(inside) : std::string(std::stoul(name), name.back());
      }
    }
  }
  return out;
}

// At the top, a '}' is the text's own, as in JSON.
std::string Expand(const std::string& text) {
  std::string out;
  for (size_t at = 0; at < text.size(); ++at) {
    out += Expand(text, at);
    if (at < text.size()) out += '}';
  }
  return out;
}

std::string Sjis(const std::string& utf8) { return InLocale(utf8, "C"); }

void Add(std::vector<Node>& nodes, const std::vector<std::string>& path, size_t depth, const Node& node) {
  if (depth + 1 == path.size()) return nodes.push_back(node);
  auto folder =
      std::find_if(nodes.begin(), nodes.end(), [&](const Node& n) { return n.name == Sjis(path[depth]); });
  if (folder == nodes.end()) folder = nodes.insert(nodes.end(), Folder(Sjis(path[depth]), {}));
  Add(folder->children, path, depth + 1, node);
}

Archive FromItems(const std::string& options, const std::string& items) {
  std::vector<Node> tree;
  std::vector<std::pair<uint64_t, std::string>> placed;
  for (const std::string& item : Split(items, "; ")) {
    const size_t at = item.find('@'), equals = item.find('=', at == std::string::npos ? 0 : at);
    const std::string path = Expand(item.substr(0, std::min(at, equals)));
    const std::string data = Expand(equals == std::string::npos ? "" : item.substr(equals + 1));
    // A leading backslash belongs to the name.
    const std::vector<std::string> names =
        path[0] == '\\' ? std::vector<std::string>{path} : Split(path, "\\");
    const size_t plus = item.find('+', at);
    Node node = File(Sjis(names.back()), data);
    if (at != std::string::npos) {
      node = Placed(node.name, std::stoull(item.substr(at + 1), nullptr, 0),
                    plus < equals ? std::stoull(item.substr(plus + 1), nullptr, 0) : data.size());
      if (equals != std::string::npos) placed.emplace_back(*node.address, StoredBytes(data));
    }
    Add(tree, names, 0, node);
  }
  Archive archive = BuildArchive(tree, options.find(" last") != std::string::npos);
  for (const auto& [address, bytes] : placed) archive.Add(address, bytes);
  if (options.find("size=") != std::string::npos)
    archive.size = std::stoull(options.substr(options.find("size=") + 5), nullptr, 0);
  return archive;
}

std::string FromTokens(const std::string& tokens) {
  std::string bytes, items, end;
  size_t cut = 0;
  for (const std::string& token : Words(tokens)) {
    const std::vector<std::string> f = Split(token, ":");
    const auto number = [&f](size_t i) { return std::stoull(f[i], nullptr, 0); };
    std::string& into = items.empty() ? bytes : items;
    std::string piece = f[0] == "bytes" ? Expand(f[1]) : f[0] == "stored" ? StoredBytes(Expand(f[1])) : "";
    if (f[0] == "header") {
      end = f[1];
      piece =
          FrontHeader(end == "dir" ? 0 : number(1), f.size() > 2 ? static_cast<uint16_t>(number(2)) : 0x1DDF);
    }
    if (f[0] == "block") piece = BlockHead(number(1));
    if (f[0] == "rec")
      piece = Record(Sjis(Expand(f[1])), f.size() > 4 ? static_cast<uint32_t>(number(4)) : 0, number(2),
                     number(3));
    if (f[0] == "end")
      for (uint64_t n = f.size() > 1 ? number(1) : 1; n > 0; --n) piece += EndMarker();
    if (f[0] == "zeros") piece.assign(number(1), '\0');
    if (f[0] == "chop") into.resize(into.size() - number(1));
    if (f[0] == "cut") cut = number(1);
    if (f[0] == "dir") items = "\x01";
    if (f[0] == "/dir") bytes += DirectoryBlock(items.substr(1)), items.clear();
    into += piece;
  }
  if (end == "dir") bytes.replace(0, 34, FrontHeader(static_cast<uint32_t>(bytes.size())));
  return bytes.substr(0, bytes.size() - cut);
}

struct Case {
  std::string options, command, checks, setup;
  int line;
  std::string name;  ///< the section's first words and the line: its test's name
  std::string Option(const std::string& key) const {
    for (const std::string& option : Words(options)) {
      if (option == key || option.rfind(key + "=", 0) == 0)
        return option.substr(std::min(key.size() + 1, option.size()));
    }
    return "-";
  }
  bool Has(const std::string& key) const { return Option(key) != "-"; }
  friend void PrintTo(const Case& c, std::ostream* os) { *os << "cases.txt:" << c.line; }
};

const std::set<std::string> kSetups = {"archive", "raw",  "file",   "sparse",  "mkdir",  "link",   "hardlink",
                                       "fifo",    "mode", "killed", "journal", "define", "always", "refused"};
const std::set<std::string> kOptions = {"xx",     "j8",    "posix", "windows", "utf8", "bytes",  "u8",
                                        "nobody", "limit", "cwd",   "lock",    "full", "stderr", "fault"};

// The first three words of a comment, as a name: letters and digits only.
std::string SectionName(const std::string& comment) {
  std::string name;
  int words = 0;
  for (const std::string& word : Words(comment.substr(1))) {
    std::string kept;
    for (char c : word) kept += isalnum(static_cast<unsigned char>(c)) ? std::string(1, c) : "";
    if (kept.empty()) continue;
    name += (name.empty() ? "" : "_") + kept;
    if (++words == 3) break;
  }
  return name;
}

// The cases, each with its section's setup (the lines kept in `setup`,
// one a line), and its checks; `unknown` takes the lines that are none of
// these, which fail the run.
std::vector<Case> ReadCases(std::vector<std::string>* unknown = nullptr) {
  std::ifstream in(KEL_CASES);
  std::vector<Case> cases;
  std::string setup, always, refused, comment, section = "Cases";
  std::vector<std::pair<std::string, std::string>> defines;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    for (const auto& [name, text] : defines) {
      for (size_t at = line.find(name); at != std::string::npos; at = line.find(name))
        line.replace(at, name.size(), text);
    }
    const std::string first = line.substr(0, line.find(' ')), rest = line.substr(line.find(' ') + 1);
    const size_t bracket = line[0] == '[' ? line.find("] kel") : 0;
    const size_t kel = bracket == std::string::npos ? bracket : line[0] == '[' ? bracket + 2 : 0;
    if (line.empty()) comment.clear();
    if (!line.empty() && line[0] == '#' && comment.empty()) comment = line;
    if (line.empty() || line[0] == '#') continue;
    if (line == "---") {
      setup.clear(), always.clear(), refused.clear(), defines.clear();
      section = comment.empty() ? section : SectionName(comment);
    } else if (first == "define") {
      defines.emplace_back("{" + Words(line)[1] + "}", rest.substr(rest.find(' ') + 1));
    } else if (first == "always" || first == "refused") {
      (first == "always" ? always : refused) += rest + "\n";
    } else if (first == "then" && !cases.empty()) {
      cases.back().checks += rest + "\n";
    } else if (kel != std::string::npos &&
               (line.compare(kel, 4, "kel ") == 0 || line.compare(kel, 7, "kel => ") == 0)) {
      const bool fails = std::stoi(line.substr(line.find(" => ") + 4)) != 0;
      cases.push_back({kel > 0 ? line.substr(1, kel - 3) : "", line.substr(kel),
                       always + (fails ? refused : ""), setup, number,
                       section + "_line" + std::to_string(number)});
      for (const std::string& option : Words(cases.back().options)) {
        if (unknown != nullptr && !kOptions.count(option.substr(0, option.find('='))))
          unknown->push_back(std::to_string(number) + ": option " + option);
      }
    } else if (kSetups.count(first)) {
      setup += line + "\n";
    } else if (unknown != nullptr) {
      unknown->push_back(std::to_string(number) + ": " + line);
    }
  }
  return cases;
}

struct Trial {
  Trial(const Case& run, std::string in) : c(run), locale(std::move(in)) {}
  const Case& c;
  const std::string locale;
  ScopedTempDir dir;
  ScopedTempDir records;  ///< the XDG_CACHE_HOME of its runs
  std::map<std::string, std::string> archives;

  std::string Text(std::string text) const {
    for (size_t at = text.find("{dir}"); at != std::string::npos; at = text.find("{dir}"))
      text.replace(at, 5, dir.path());
    return c.Has("bytes") ? Expand(text) : InLocale(Expand(text), locale);
  }
  std::string Path(const std::string& path) const {
    return path[0] == '/' ? path : dir / (c.Has("bytes") ? path : OnDisk(path, locale));
  }
  void Prepare() {
    filesFolder = dir.path();
    for (const std::string& line : Split(c.setup, "\n")) {
      const std::vector<std::string> words = Words(line);
      if (words.empty()) continue;
      const std::string name = words[1].substr(0, words[1].find(':')),
                        equals = line.substr(line.find('=') + 1);
      fs::create_directories(fs::path(Path(name)).parent_path());
      if (words[0] == "raw") WriteFile(Path(name), FromTokens(line.substr(line.find(": ") + 2)));
      if (words[0] == "archive")
        FromItems(line.substr(0, line.find(": ")), line.substr(line.find(": ") + 2)).WriteTo(Path(name));
      if (words[0] == "archive" && line.find(" cut=") < line.find(": ")) {
        fs::resize_file(Path(name),
                        fs::file_size(Path(name)) - std::stoul(line.substr(line.find(" cut=") + 5)));
      }
      // Written an hour ago: kel waits a moment for a file written just before it reads it.
      const std::string written = Path(line.substr(5, line.find('=') - 5));
      if (words[0] == "file") WriteFile(written, Expand(equals));
      if (words[0] == "file")
        fs::last_write_time(written, fs::file_time_type::clock::now() - std::chrono::hours(1));
      if (words[0] == "sparse") WriteFile(Path(name), ""), fs::resize_file(Path(name), std::stoull(words[2]));
      if (words[0] == "mkdir") fs::create_directories(Path(name));
      if (words[0] == "link" && !WindowsBuild()) fs::create_symlink(words[2], Path(name));
      if (words[0] == "hardlink") fs::create_hard_link(Path(words[2]), Path(name));
      if (words[0] == "fifo") mkfifo(Path(name).c_str(), 0666);
      if (words[0] == "mode") {
        const auto owner = std::stoul(words[2].substr(5));
        EXPECT_TRUE(!chmod(Path(name).c_str(), std::stoul(words[2], nullptr, 8)) &&
                    !chown(Path(name).c_str(), owner, owner));
      }
      if (words[0] == "killed" && !WindowsBuild()) {
        RunOptions killed = {locale, dir.path()};
        killed.environment = {"LD_PRELOAD=" KEL_FAULT_SHIM, "KEL_FAULT=crash", "KEL_FAULT_AT=" + words[2],
                              "ASAN_OPTIONS=verify_asan_link_order=0"};
        RunKel(Words(Text(line.substr(line.find(": ") + 2))), killed);
      }
      if (words[0] == "journal") {
        fs::copy_file(Path(words[2]), Path(name));
        kel::Archive archive;
        Cbuffer block;
        const Context context;
        OpenOptions options;
        options.access = platform::Access::kReadWrite;
        std::vector<RecordSwitch> fields;
        for (size_t i = 4; i < words.size(); ++i) {
          const std::vector<std::string> f = Split(words[i] + ":0", ":");
          fields.push_back(
              {std::stoll(f[0], nullptr, 0), std::stoull(f[1], nullptr, 0), std::stoull(f[2], nullptr, 0)});
        }
        ASSERT_TRUE(OpenArchive(Path(name), options, context, &archive).ok());
        Journal journal(archive.file, &archive.location, archive.file.fileSize, context);
        const ByteRange range = {fields[0].position, static_cast<int64_t>(fields[0].size)};
        ASSERT_TRUE((words[3] == "merge" ? journal.Save(range, block) : journal.Save(fields, block)).ok());
      }
      if (std::set<std::string>{"raw", "archive", "killed", "journal"}.count(words[0]) &&
          fs::file_size(Path(name)) < (64 << 20))
        archives[name] = ReadFile(Path(name));
    }
  }
  int Kel(const std::string& line, const std::string& threads) const {
    const size_t arrow = line.find(" => "), blank = line.find(' ', arrow + 4);
    std::vector<std::string> args;
    for (const std::string& word : Words(arrow > 4 ? line.substr(4, arrow - 4) : ""))
      args.push_back(Text(word));
    if (!threads.empty()) args.insert(args.begin() + 1, threads);
    RunOptions run = {locale, c.Has("cwd") ? dir / c.Option("cwd") : dir.path(), c.Has("nobody")};
    run.records = records.path();
    if (run.asNobody) chmod((dir / args[1]).c_str(), 0444);
    if (c.Has("limit")) run.fileSizeLimit = std::stol(c.Option("limit"));
    run.fullOutput = c.Has("full");
    run.splitError = c.Has("stderr");
    if (c.Has("fault")) {
      const std::string fault = c.Option("fault");
      run.environment = {"LD_PRELOAD=" KEL_FAULT_SHIM, "KEL_FAULT=" + fault.substr(0, fault.find(':')),
                         "KEL_FAULT_AT=" + fault.substr(fault.find(':') + 1),
                         "ASAN_OPTIONS=verify_asan_link_order=0"};
    }
    std::future<void> release;
    if (c.Has("lock")) {
      const std::string lock = c.Option("lock");
      const int held = open((dir / lock.substr(3)).c_str(), O_RDONLY | O_CLOEXEC);
      flock(held, lock[0] == 's' ? LOCK_SH : LOCK_EX);
      release = std::async(std::launch::async, [held] { usleep(400000), close(held); });
    }
    const std::string out = blank == std::string::npos ? "" : line.substr(blank + 1);
    const RunResult result = RunKel(args, run);
    if (release.valid()) release.get();
    EXPECT_EQ(result,
              (RunResult{c.Has("utf8") ? Expand(out) : Text(out), std::stoi(line.substr(arrow + 4))}));
    return result.status;
  }
  // A write case that succeeds on an archive that -t calls clean as set up (tested in a copy, so
  // that nothing -t settles counts) leaves what it writes clean.
  void ExpectClean(int status) const {
    const std::vector<std::string> w = Words(c.command.substr(4, c.command.find(" => ") - 4));
    const auto at = static_cast<size_t>(
        std::find_if(w.begin() + 1, w.end(), [](const std::string& word) { return word[0] != '-'; }) -
        w.begin());
    if (status != 0 || w[0].size() != 2 || std::string("mruc").find(w[0][1]) == std::string::npos ||
        at == w.size() || archives.count(w[at]) == 0)
      return;
    ScopedTempDir scratch;
    WriteFile(scratch / "t.kel", archives.at(w[at]));
    if (RunKel({"-t", "t.kel"}, {locale, scratch.path()}).status != 0) return;
    const std::string result = w[0] == "-c" && at + 1 < w.size() ? w[at + 1] : w[at];
    EXPECT_EQ(RunKel({"-t", Text(result)}, {locale, dir.path()}).status, 0) << result << " is not clean";
  }
  void Check(const std::string& check) const {
    SCOPED_TRACE("then " + check);
    const std::vector<std::string> words = Words(check);
    const std::string how = words.size() > 1 ? words[1] : "", equals = check.substr(check.find('=') + 1);
    if (words[0] == "kel") {
      Kel(check, "");
    } else if (words[0] == "$") {
      const std::string shell =
          "cd '" + dir.path() + "' && XDG_CACHE_HOME='" + records.path() + "' && " + check.substr(2);
      EXPECT_EQ(std::system(shell.c_str()), 0);
    } else if (words[0] == "tree") {
      std::vector<std::string> wanted;
      for (size_t i = 2; i < words.size(); ++i)
        wanted.push_back(c.Has("bytes") ? words[i] : OnDisk(words[i], locale));
      std::sort(wanted.begin(), wanted.end());
      EXPECT_EQ(ListTree(Path(words[1].substr(0, words[1].size() - 1))), wanted);
    } else if (how == "mode") {
      struct stat info;
      EXPECT_TRUE(!stat(Path(words[0]).c_str(), &info) &&
                  (info.st_mode & 07777) == std::stoul(words[2], nullptr, 8) &&
                  info.st_uid == std::stoul(words[2].substr(5)));
    } else if (how == "absent") {
      EXPECT_FALSE(fs::exists(fs::symlink_status(Path(words[0]))));
    } else if (how == "unchanged" || how == "merged" || how == "is") {
      std::string expected = archives.at(how == "is" ? words[2] : words[0]);
      const size_t arrow = check.find(" => "), from = check.find(" merged ") + 8;
      const std::string old = StoredBytes(Expand(check.substr(from, arrow - from)));
      if (how == "merged")
        expected.replace(expected.find(old), old.size(), StoredBytes(Expand(check.substr(arrow + 4))));
      const size_t tail = check.find(' ', check.find(" is ") + 4);
      if (how == "is" && tail != std::string::npos) expected += Expand(check.substr(tail + 1));
      EXPECT_EQ(ReadFile(dir / words[0]), expected);
    } else if (check.find('=') != std::string::npos) {
      EXPECT_EQ(ReadFile(Path(check.substr(0, check.find('=')))), Expand(equals));
    } else {
      ADD_FAILURE() << "a check the runner does not know";
    }
  }
};

// Each row of cases.txt is a test of its own, named after its section and
// line (ctest -R Patterns_line151), run in each locale it asks for.
class Row : public ::testing::TestWithParam<Case> {};

TEST_P(Row, Run) {
  const Case& c = GetParam();
  // Other users, advisory locks and file size limits are POSIX's.
  const bool posix = c.Has("posix") || c.Has("nobody") || c.Has("lock") || c.Has("limit") || c.Has("bytes") ||
                     c.Has("fault");
  if ((posix && WindowsBuild()) || (c.Has("windows") && !WindowsBuild())) GTEST_SKIP();
  for (const std::string locale : {"C", "C.utf8", "xx_XX.UTF-8"}) {
    if ((locale == "xx_XX.UTF-8" && (!c.Has("xx") || WindowsBuild())) || (locale != "C" && c.Has("bytes")) ||
        (locale == "C" && c.Has("u8")))
      continue;
    for (const std::string threads : {"", "-j8"}) {
      if (!threads.empty() && !c.Has("j8")) continue;
      SCOPED_TRACE("cases.txt:" + std::to_string(c.line) + " " + locale + " " + threads);
      Trial run(c, locale);
      run.Prepare();
      run.ExpectClean(run.Kel(c.command, threads));
      for (const std::string& check : Split(c.checks, "\n")) {
        if (!check.empty()) run.Check(check);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Row, ::testing::ValuesIn(ReadCases()),
                         [](const ::testing::TestParamInfo<Case>& row) { return row.param.name; });

// A line the runner does not know would drop its check unseen.
TEST(Cases, EveryLineIsKnown) {
  std::vector<std::string> unknown;
  EXPECT_GT(ReadCases(&unknown).size(), 120u);
  EXPECT_EQ(unknown, std::vector<std::string>{});
}

// Every byte and every double-byte code as a stored name: Python's
// path.encode('cp932', 'surrogateescape') of each JSON path gives the stored
// bytes back, whatever the locale and the build, and the Python package
// gives the same paths.
TEST(Json, EveryStoredNameComesBackByThePythonRecipe) {
  std::vector<Node> names;
  for (int byte = 1; byte < 256; ++byte) names.push_back(File(std::string(1, static_cast<char>(byte)), ""));
  for (int lead = 0x81; lead <= 0xFC; lead = lead == 0x9F ? 0xE0 : lead + 1) {
    for (int trail = 0x40; trail <= 0xFC; trail += trail == 0x7E ? 2 : 1)
      names.push_back(File({static_cast<char>(lead), static_cast<char>(trail)}, ""));
  }
  ScopedTempDir dir;
  BuildArchive(names).WriteTo(dir / "all.kel");
  WriteFile(dir / "check.py",
            "import json, sys\n"
            "want = [bytes([b]) for b in range(1, 256)] + [bytes([l, t]) for l in [*range(0x81, 0xA0),\n"
            "        *range(0xE0, 0xFD)] for t in range(0x40, 0xFD) if t != 0x7F]\n"
            "def back(line):\n"
            "  try: return json.loads(line)['path'].encode('cp932', 'surrogateescape')\n"
            "  except UnicodeError: return None\n"
            "got = [back(line) for line in open(sys.argv[1], encoding='utf-8')]\n"
            "n = abs(len(got) - len(want)) + sum(g != w for g, w in zip(got, want))\n"
            "import kel  # the package gives the listing's paths\n"
            "listed = [json.loads(line)['path'] for line in open(sys.argv[1], encoding='utf-8')]\n"
            "n += sum(e.path != p for e, p in zip(kel.open(sys.argv[2]), listed))\n"
            "print(n, 'of', len(want), 'names do not come back')\n"
            "sys.exit(n > 0)\n");
  for (const std::string locale : {"C", "C.utf8"}) {
    SCOPED_TRACE(locale);
    const RunResult listing = RunKel({"-l", "--json", dir / "all.kel"}, {locale, dir.path()});
    ASSERT_EQ(listing.status, 0);
    WriteFile(dir / "got", listing.out);
    EXPECT_EQ(WEXITSTATUS(
                  std::system((KEL_PYTHON " " + dir / "check.py " + dir / "got " + dir / "all.kel").c_str())),
              0);
  }
}

}  // namespace
}  // namespace kel::testing
