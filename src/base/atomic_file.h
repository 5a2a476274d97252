// Replacing a file's whole content so that a reader, a crash or a full disk
// never sees a short file.
#pragma once

#include <string>

namespace brindle {

// Writes `text` into a new file beside `path` and renames it over `path` once
// it is on disk. A symbolic link at `path` is followed, so the link stays and
// its target gets the text. An existing file keeps its permissions; a new one
// gets `newFileMode` (less the umask). False, with the old file untouched and
// nothing left beside it, when the existing file may not be written or any
// step fails.
[[nodiscard]] bool ReplaceFileContent(const std::string& path, const std::string& text,
                                      unsigned newFileMode = 0666);

}  // namespace brindle
