// The English texts of the codes, for callers of the C API.
#include "status.h"

namespace kel {

const char* CodeText(int code) {
  static const char* const kTexts[] = {
      "done",
      "an argument is missing or wrong",
      "a file could not be opened",
      "a read failed",
      "a write failed",
      "memory could not be had",
      "not a kel archive",
      "the file ends inside the header",
      "no directory block",
      "the archive is cut short",
      "no stored file starts at that address",
      "the stored path would leave the destination",
      "the range runs past the archive's end",
      "the address is negative",
      "the size is below -1",
      "the address lies past the archive's end",
      "the first bytes differ from the stored ones",
      "cancelled",
      "no stored file by that name",
      "several stored files by that name",
      "the file does not exist",
      "the size differs from the stored file's",
      "the archive is in use by another program",
      "a stopped write could not be undone",
      "outside the stored files' data",
      "a folder of the path does not exist",
      "the name is too long",
      "no space left",
      "read-only file system",
      "the destination folder cannot be made",
      "the output has the name of one written before",
      "one file stands for two stored files",
      "a stored file's data run past the archive's end",
      "stored files overlap",
      "more stored files overlap",
      "not a regular file",
      "the file changed while it was read",
      "the archive has other hard links",
      "the owner or attributes could not be kept",
      "the file exists",
      "a stored file's data lie in the header or directory",
      "the copy's data would read as its directory",
      "some files failed",
      "the archive has problems",
      "no more stored files",
      "permission denied",
      "the folder is not the top of an extraction",
  };
  return code >= 0 && code < static_cast<int>(sizeof kTexts / sizeof kTexts[0]) ? kTexts[code]
                                                                                : "unknown code";
}

}  // namespace kel
