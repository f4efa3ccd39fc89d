// Whole files, read and written at once: a file a script names, read under a
// limit; and a file replaced so that a crash or a full disk leaves the old
// one or the new one, never a part.
#ifndef QV_PLATFORM_FILE_H
#define QV_PLATFORM_FILE_H

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

enum class FileRead {
    Read,     // `bytes` holds the file
    Missing,  // no such file, nor folder
    Refused,  // `error` says why
};

// The file at `path` into `bytes`, if it is a regular file of at most
// `limit` bytes; `too_large` is what `error` says of a longer one. On any
// outcome but Read, `bytes` is empty and what was read of it is cleared (it
// may have held a key); Missing says "no such file" in `error`.
FileRead ReadWholeFile(const std::string& path, std::size_t limit, std::string_view too_large, std::string& bytes,
                       std::string& error);

// `bytes` as the file at `path`: written to a file of its own beside it,
// flushed to the disk, then renamed over it in one step. False with `error`
// in words; the file at `path` is then as it was.
bool ReplaceWholeFile(const std::string& path, std::string_view bytes, std::string& error);

}  // namespace platform

#endif
