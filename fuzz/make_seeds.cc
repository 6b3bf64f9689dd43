// Writes the seed inputs of the fuzz corpora: small archives made with the
// test archive writer, the head of the bundled sample, and a few inputs of
// the text target. Usage: make_seeds <sample.kel> <fuzz folder>
// (which holds corpus/list/, corpus/extract/, corpus/text/ and slow/extract/,
// which must exist).
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "archive_writer.h"

namespace {

using kel::testing::Archive;
using kel::testing::BlockHead;
using kel::testing::BuildArchive;
using kel::testing::EndMarker;
using kel::testing::File;
using kel::testing::Folder;
using kel::testing::FrontHeader;
using kel::testing::Node;
using kel::testing::Placed;
using kel::testing::Record;

bool Write(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) fprintf(stderr, "make_seeds: cannot write %s\n", path.c_str());
  return static_cast<bool>(out);
}

// A tree like the sample's, with a few bytes per stored file.
std::vector<Node> SampleTree() {
  const std::string chara = "\x83L\x83\x83\x83\x89";                // キャラ
  const std::string villager = "\x91\xba\x90\x6c.dds";              // 村人.dds
  const std::string scenario = "\x83\x56\x83\x69\x83\x8a\x83\x49";  // シナリオ
  return {File("readme.txt", "kel sample\r\n"), File("empty.dat", ""),
          Folder("bgm", {File("opening.bin", "\x01\x02\x03")}),
          Folder("graphics", {Folder(chara, {File("hero.dds", "DDS "), File(villager, "DDS ")}),
                              File("title.png", "\x89PNG")}),
          Folder(scenario, {File("\x95\x5c\x8e\x86.txt", "abc")})};  // 表紙.txt
}

// Each name in a folder of its own; every one ends a character in 0x5C.
std::vector<Node> ShiftJisTree() {
  const std::string chara = "\x83L\x83\x83\x83\x89";  // キャラ
  return {Folder(chara, {Folder("\x96\x82\x89\xa4",
                                {File("\x95\x5c\x8f\xee_010.dds", "face")})}),  // 魔王\表情_010.dds
          Folder("\x83\x5c\x83t\x83g\x90\xdd\x92\xe8",
                 {File("\x94\x5c\x97\xcd\x95\x5c.dat", "d")}),  // ソフト設定\能力表.dat
          Folder("a", {File("\x83\x5c\x81[\x83X.txt", "s")}),   // ソース.txt
          Folder("b", {File("\x8f\x5c\x8e\x9a.png", "p")}),     // 十字.png
          Folder("c", {File("\x97\x5c\x8d\x90.ogg", "o")}),     // 予告.ogg
          Folder("\x95\x5c", {File("\x95\x5c.bin", "b")})};     // 表\表.bin
}

std::vector<Node> UnsafeTree() {
  return {Folder("..", {File("up.txt", "1")}), File("..\\sibling.txt", "2"),
          File("/absolute.txt", "3"),          File("C:drive.txt", "4"),
          File("a/../../b.txt", "5"),          Folder("d", {File("..", "6"), File("ok.txt", "7")}),
          File("\x95\\..\\kept.txt", "8")};  // 表..\kept.txt: no ".." component
}

std::vector<Node> DeepTree() {
  Node node = File("bottom.txt", "deep");
  for (int level = 24; level > 0; --level) node = Folder("f" + std::to_string(level), {node});
  return {node, File("top.txt", "t")};
}

// Two stored files 960 folders deep in one folder, with another stored file
// between them: the folders of the second exist already, and each is checked
// for a link that leads outside. 4 KiB, and a correct build takes about a
// second for it; checks whose cost grows faster than the depth take minutes.
std::vector<Node> DeepFoldersAgain() {
  std::string folders = "x/";
  for (int level = 0; level < 960; ++level) folders += "a/";
  return {File(folders + "f", ""), File("y", ""), File(folders + "g", "")};
}

std::vector<std::pair<std::string, std::string>> Archives(const std::string& sampleHead) {
  const std::string tree = BuildArchive(SampleTree()).Bytes();
  // A header that claims a directory of almost 4 GiB, whose head and first
  // records are all the file holds.
  const uint32_t farEnd = 0xFFFFFF00;
  const std::string claim =
      FrontHeader(farEnd) + BlockHead(farEnd - 34) + Record("a", 0, 1, 0) + EndMarker() + Record("", 0, 0, 0);
  std::string notKel = FrontHeader(100, 0x1DDE) + std::string(66, '\0');
  std::string noBlock = FrontHeader(120) + std::string(86, 'z');
  return {
      {"tree.kel", tree},
      {"tree-directory-last.kel", BuildArchive(SampleTree(), true).Bytes()},
      {"tree-cut-in-directory.kel", tree.substr(0, 120)},
      {"tree-cut-in-data.kel", tree.substr(0, tree.size() - 5)},
      {"shift-jis.kel", BuildArchive(ShiftJisTree()).Bytes()},
      {"unsafe.kel", BuildArchive(UnsafeTree()).Bytes()},
      {"deep.kel", BuildArchive(DeepTree()).Bytes()},
      {"shared-address.kel",
       BuildArchive({File("empty", ""), File("data", "abc"), File("last", "")}).Bytes()},
      {"placed.kel",
       BuildArchive({Placed("far", uint64_t{1} << 40, 10), Placed("signed", 0, uint64_t{1} << 63),
                     Placed("all", 0, UINT64_MAX), Placed("past", 60, 1 << 20), File("x", "x")})
           .Bytes()},
      {"empty-names.kel", BuildArchive({Folder("", {Folder("", {File("a", "x")})}), File("", "y")}).Bytes()},
      {"long-name.kel", BuildArchive({Folder(std::string(300, 'n'), {File("f", "z")})}).Bytes()},
      {"claims-4gib.kel", claim},
      {"not-kel.bin", notKel},
      {"no-directory.kel", noBlock},
      {"sample-head.kel", sampleHead},
  };
}

// Flag byte (bit 0: UTF-8 mode), search character, start pick, text.
std::vector<std::pair<std::string, std::string>> Texts() {
  auto input = [](int flags, char c, int pick, const std::string& text) {
    return std::string(1, static_cast<char>(flags)) + c + static_cast<char>(pick) + text;
  };
  const std::string path = "\x83L\x83\x83\x83\x89\\\x96\x82\x89\xa4\\\x95\x5c\x8f\xee_010.dds";
  return {
      {"shift-jis-path", input(0, '\\', 0, path)},
      {"shift-jis-path-utf8", input(1, '\\', 3, path)},
      {"mixed-separators", input(0, '/', 2, "..\\a/b\\..")},
      {"drive", input(0, ':', 0, "C:\\x")},
      {"hexadecimal", input(0, 'x', 0, "0x7FFFFFFFFFFFFFFF")},
      {"most-negative", input(0, '-', 0, "-9223372036854775808")},
      {"case-pair", input(0, 'A', 0, std::string("Chara\\A.DDS\0chara\\a.dds", 23))},
      {"double-byte-case", input(0, '\x82', 0, std::string("\x82\x41\0\x82\x61", 5))},
      {"lone-lead", input(0, '\x95', 1, "abc\x95")},
      {"grouped", input(1, '0', 0, "12345678")},
  };
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s <sample.kel> <fuzz folder>\n", argv[0]);
    return 2;
  }
  std::ifstream sample(argv[1], std::ios::binary);
  std::string head(4096, '\0');
  sample.read(&head[0], static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<size_t>(sample.gcount()));
  const std::string folder = argv[2];
  bool ok = !head.empty();
  for (const auto& [name, bytes] : Archives(head)) {
    ok = Write(folder + "/corpus/list/" + name, bytes) && ok;
    ok = Write(folder + "/corpus/extract/" + name, bytes) && ok;
  }
  for (const auto& [name, bytes] : Texts()) ok = Write(folder + "/corpus/text/" + name, bytes) && ok;
  // Too slow to be fuzzed on: replayed once per run.
  ok = Write(folder + "/slow/extract/deep-folders-again.kel", BuildArchive(DeepFoldersAgain()).Bytes()) && ok;
  return ok ? 0 : 1;
}
