#pragma once
// Appending a record to a log file durably: the bytes go out in one write to the end of the file,
// which is flushed to disk before the call returns, so a power loss can tear at most the record
// being written and never one written before.
#include <stdexcept>
#include <string>
#include <string_view>

// Raised with a message that names the file and the cause.
class EAppendFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Appends AData to AFileName, creating the file when it is missing. Only a regular file is written
// (a folder, device node, FIFO or symbolic link in its place is refused).
void AppendToFile(const std::string& AFileName, std::string_view AData);
