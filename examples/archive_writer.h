// A small kel archive writer for the sample, the tests, the fuzz seeds and
// the benchmarks: builds archives from a tree description, and offers the
// pieces (header, block head, records, end markers) for crafting damaged
// ones by hand.
#ifndef KEL_EXAMPLES_ARCHIVE_WRITER_H_
#define KEL_EXAMPLES_ARCHIVE_WRITER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kel::testing {

/// One node of a tree: a stored file with its plain contents, or a folder.
struct Node {
  std::string name;  ///< stored bytes (Shift-JIS)
  std::string data;
  std::vector<Node> children;
  bool folder = false;
  /// Crafted placement: the record names this address and size and the
  /// writer places no data for it.
  std::optional<uint64_t> address;
  std::optional<uint64_t> size;
};

Node File(const std::string& name, const std::string& data);
Node Folder(const std::string& name, std::vector<Node> children);
/// A stored file whose record points anywhere; nothing is placed there.
Node Placed(const std::string& name, uint64_t address, uint64_t size);

/// Archive contents as pieces at positions; the gaps between them are zero
/// (holes when written to a file).
struct Archive {
  std::vector<std::pair<uint64_t, std::string>> pieces;
  uint64_t size = 0;

  std::string Bytes() const;
  void Add(uint64_t position, const std::string& bytes);
  /// Writes the archive as a sparse file; false on failure.
  bool WriteTo(const std::string& path) const;
};

/// Header, directory right behind it, then the data of every stored file;
/// or header, data, then the directory (aligned as the scan needs it).
Archive BuildArchive(const std::vector<Node>& tree, bool directoryLast = false);

std::string Scrambled(std::string bytes);
/// Plain bytes as an archive stores them, XORed with the data key.
std::string StoredBytes(std::string plain);
std::string Le32(uint32_t value);
std::string Le64(uint64_t value);
std::string FrontHeader(uint32_t directoryEnd, uint16_t magic = 0x1DDF);
std::string BlockHead(uint64_t blockLength, uint32_t word = 0);
/// A record with `name` and its zero byte scrambled as the name field.
std::string Record(const std::string& name, uint32_t folderFlag, uint64_t size, uint64_t address);
std::string EndMarker();
/// A block head and the items, with the block length filled in.
std::string DirectoryBlock(const std::string& items);

}  // namespace kel::testing

#endif  // KEL_EXAMPLES_ARCHIVE_WRITER_H_
