#pragma once
// Reading a small file whole, refusing anything that is not a plain file of that name.
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>

// Raised with a message that names the file and the cause.
class ERegularFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The bytes of AFileName (UTF-8), or nullopt when there is no such file. A folder, device, pipe or
// link in its place and a file larger than AMaxBytes are refused, before the first byte is read.
std::optional<std::string> ReadRegularFile(const std::string& AFileName, std::size_t AMaxBytes);
