// The two ways reading or writing a MAT file fails: the bytes are not a MAT
// file this reader can take (FormatError; also values the writer cannot store),
// or the operating system refused (IoError, with errno and the file's path).
#pragma once

#include <stdexcept>
#include <string>

namespace telvar {
namespace mat {

class FormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class IoError : public std::runtime_error {
public:
    IoError(int error_number, const std::string &path, const std::string &what)
        : std::runtime_error(what), error_number_(error_number), path_(path) {}
    int error_number() const { return error_number_; }
    const std::string &path() const { return path_; }

private:
    int error_number_;
    std::string path_;
};

} // namespace mat
} // namespace telvar
