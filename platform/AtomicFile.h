#pragma once
// Whole-file replacement that leaves either the old file or the new one: the data goes to a fresh
// temporary file beside the target, is flushed to disk and renamed over the target (on Linux the
// folder is flushed as well; on Windows the rename is written through).
#include <stdexcept>
#include <string>
#include <string_view>

// Raised with a message that names the target file and the cause.
class EAtomicWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes AData as the whole content of AFileName. Only a regular file is ever replaced (a device
// node, FIFO, folder or symbolic link in its place is refused); on Linux it keeps its permission bits.
void ReplaceFileContents(const std::string& AFileName, std::string_view AData);
