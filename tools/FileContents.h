#pragma once
// Whole input files of kelvo-fwbuild, read front to back so that pipes and other inputs that
// cannot seek work like files.
#include <cstddef>
#include <stdexcept>
#include <string>

// Raised with a message that names the file and the cause.
class TFileContentsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The content of AFileName, but no more than AMaxBytes + 1 bytes: a longer result tells the caller
// that the file is too large, without reading the rest.
std::string ReadFileContents(const std::string& AFileName, std::size_t AMaxBytes);
