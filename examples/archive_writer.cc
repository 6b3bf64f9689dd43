// The writer lays an archive out as header, directory and data; the
// directory's length does not depend on the addresses, so they are known
// before the records are written.
#include "archive_writer.h"

#include <filesystem>
#include <fstream>

namespace kel::testing {
namespace {

const char kScrambleKey[24] = {'m', 'r', 'o', 't', 'k', '8', 'q', 'a', 'w', 'e', 'n', 'p',
                               'v', 'b', 'z', 'g', 'y', 'x', 'h', 'u', 'i', 'c', 'f', 0};
constexpr char kDataKey = static_cast<char>(0xC6);
constexpr uint64_t kHeaderSize = 34;

uint64_t DirectoryItemsSize(const std::vector<Node>& nodes) {
  uint64_t size = 0;
  for (const Node& node : nodes) {
    size += 40 + node.name.size() + 1 + DirectoryItemsSize(node.children) + 4;
  }
  return size;
}

uint64_t StoredSize(const Node& node) { return node.size.value_or(node.data.size()); }

// Places the data of every file from `next` on, and writes the items.
void Lay(const std::vector<Node>& nodes, uint64_t& next, std::string& items, Archive& archive) {
  for (const Node& node : nodes) {
    uint64_t address = 0;
    if (!node.folder) {
      if (node.address) {
        address = *node.address;
      } else {
        address = next;
        const std::string stored = StoredBytes(node.data);
        archive.Add(address, stored);
        next += stored.size();
      }
    }
    items += Record(node.name, node.folder ? 1 : 0, node.folder ? 0 : StoredSize(node), address);
    Lay(node.children, next, items, archive);
    items += EndMarker();
  }
}

}  // namespace

Node File(const std::string& name, const std::string& data) { return Node{name, data, {}, false, {}, {}}; }

Node Folder(const std::string& name, std::vector<Node> children) {
  return Node{name, "", std::move(children), true, {}, {}};
}

Node Placed(const std::string& name, uint64_t address, uint64_t size) {
  return Node{name, "", {}, false, address, size};
}

void Archive::Add(uint64_t position, const std::string& bytes) {
  pieces.emplace_back(position, bytes);
  if (position + bytes.size() > size) size = position + bytes.size();
}

std::string Archive::Bytes() const {
  std::string bytes(size, '\0');
  for (const auto& [position, piece] : pieces) bytes.replace(position, piece.size(), piece);
  return bytes;
}

bool Archive::WriteTo(const std::string& path) const {
  // Made at its full size first, so that the gaps stay holes.
  std::ofstream(path, std::ios::binary | std::ios::trunc);
  std::error_code error;
  std::filesystem::resize_file(path, size, error);
  if (error) return false;
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  for (const auto& [position, piece] : pieces) {
    out.seekp(static_cast<std::streamoff>(position));
    out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
  }
  out.close();
  return !out.fail();
}

Archive BuildArchive(const std::vector<Node>& tree, bool directoryLast) {
  Archive archive;
  const uint64_t blockLength = 16 + DirectoryItemsSize(tree);
  uint64_t next = directoryLast ? kHeaderSize : kHeaderSize + blockLength;
  std::string items;
  Lay(tree, next, items, archive);
  const uint64_t blockPosition = directoryLast ? (next + 1) / 4 * 4 + 2 : kHeaderSize;  // 34 + 4k
  archive.Add(blockPosition, BlockHead(blockLength) + items);
  archive.Add(0, FrontHeader(static_cast<uint32_t>(blockPosition + blockLength)));
  return archive;
}

std::string Scrambled(std::string bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] ^= kScrambleKey[i % 24];
  return bytes;
}

std::string StoredBytes(std::string plain) {
  for (char& c : plain) c ^= kDataKey;
  return plain;
}

std::string Le32(uint32_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

std::string Le64(uint64_t value) {
  return Le32(static_cast<uint32_t>(value)) + Le32(static_cast<uint32_t>(value >> 32));
}

std::string FrontHeader(uint32_t directoryEnd, uint16_t magic) {
  std::string plain = Le32(magic).substr(0, 2) + std::string(24, 'h') + Le32(directoryEnd) + Le32(0);
  return Scrambled(plain);
}

std::string BlockHead(uint64_t blockLength, uint32_t word) { return "DT01" + Le32(word) + Le64(blockLength); }

std::string Record(const std::string& name, uint32_t folderFlag, uint64_t size, uint64_t address) {
  const std::string field = name + '\0';
  return Le32(1) + Le32(static_cast<uint32_t>(field.size())) + Scrambled(field) + std::string(8, 'x') +
         Le32(folderFlag) + Le64(size) + Le64(address) + Le32(0);
}

std::string EndMarker() { return Le32(0xFFFFFFFF); }

std::string DirectoryBlock(const std::string& items) { return BlockHead(16 + items.size()) + items; }

}  // namespace kel::testing
