// An image or update file opened for reading in text mode: a CR LF pair reads as one
// LF, whatever platform wrote the file. Pieces are read the way the check and the
// transfer read them: at most N characters, stopping after a line feed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace romtide {

class TextFile {
  public:
    // Nothing when the path does not name a regular file that can be read.
    static std::unique_ptr<TextFile> open(const std::string& path);
    ~TextFile();
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;

    // Reads at most `maxChars` characters into `buffer` (which must hold maxChars + 1),
    // stopping after a line feed, and ends the text with a zero byte. Returns the number
    // of characters stored; 0 when the end of the file or an error came first. Reaching
    // the end of the file sets the end-of-file mark, a failed read the error mark.
    size_t readPiece(char* buffer, size_t maxChars);

    bool eof() const { return eof_; }
    bool error() const { return error_; }
    // Position 0, end-of-file and error marks cleared.
    void rewind();
    // Seeks to the end, takes the position as the size, rewinds; -1 when seeking fails.
    int64_t measureSize();
    // Byte offset in the file as stored (a CR LF pair counts two).
    int64_t position() const;
    const std::string& path() const { return path_; }

  private:
    TextFile(std::FILE* file, std::string path) : file_(file), path_(std::move(path)) {}

    std::FILE* file_;
    std::string path_;
    bool eof_ = false;
    bool error_ = false;
};

// The address field of a piece: hexadecimal digits from position 4 up to position 9,
// ending at the first other character or at the end of the piece's text; 0 without digits.
uint32_t addressField(const char* piece, size_t length);

}  // namespace romtide
