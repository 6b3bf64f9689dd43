// Writes the bundled sample archive: a few folders (one nested), files of
// several sizes (one empty, one above 1 MiB) and Shift-JIS names next to
// ASCII ones. Usage: make_sample <output.kel>
#include <cstdio>
#include <string>
#include <vector>

#include "archive_writer.h"

using kel::testing::File;
using kel::testing::Folder;

namespace {

std::string Pattern(size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    data[i] = static_cast<char>(seed >> 16);
  }
  return data;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <output.kel>\n", argv[0]);
    return 2;
  }
  const std::string scenario = "\x83\x56\x83\x69\x83\x8a\x83\x49";  // シナリオ
  const std::string chapter = "\x91\xe6\x88\xea\x8f\xcd.txt";       // 第一章.txt
  const std::string cover = "\x95\x5c\x8e\x86.txt";                 // 表紙.txt
  const std::string chara = "\x83\x4c\x83\x83\x83\x89";             // キャラ
  const std::string villager = "\x91\xba\x90\x6c.dds";              // 村人.dds
  const std::vector<kel::testing::Node> tree = {
      File("readme.txt", "kel sample archive\r\nThe stored files are scrambled.\r\n"),
      File("empty.dat", ""),
      Folder("bgm", {File("opening.bin", Pattern(1572864 + 4321, 1))}),
      Folder("graphics", {Folder(chara, {File("hero.dds", "DDS " + Pattern(4096, 2)),
                                         File(villager, "DDS " + Pattern(2048, 3))}),
                          File("title.png", "\x89PNG\r\n\x1a\n" + Pattern(30000, 4))}),
      Folder(scenario, {File(chapter, "\x82\xa0\x82\xa2\x82\xa4\r\n"),  // あいう
                        File(cover, Pattern(777, 5))}),
  };
  if (!kel::testing::BuildArchive(tree).WriteTo(argv[1])) {
    fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
    return 1;
  }
  return 0;
}
