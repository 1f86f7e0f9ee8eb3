// An image or update file, read once when it is opened: what the check looks at is what
// every transfer sends, whatever happens to the file on disk afterwards. Text mode: a
// CR LF pair reads as one LF, whatever platform wrote the file. Pieces are read the way
// the check and the transfer read them: at most N characters, stopping after a line feed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace romtide {

class TextFile {
  public:
    // Far more than the text of a full 24-bit address space; a larger "image" is refused
    // rather than read into memory.
    static constexpr int64_t kMaxBytes = int64_t{256} << 20;
    // The check reads pieces of at most 49 characters, the transfer of at most 98.
    static constexpr size_t kCheckPieceChars = 49;

    // Nothing when the path does not name a regular file that can be read to its end
    // (a FIFO, a device or a folder is refused without waiting on it), or it is larger
    // than kMaxBytes.
    static std::unique_ptr<TextFile> open(const std::string& path);
    // The same over bytes in memory, under a name.
    static std::unique_ptr<TextFile> fromBytes(std::string bytes, std::string path);
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;

    // Reads at most `maxChars` characters into `buffer` (which must hold maxChars + 1),
    // stopping after a line feed, and ends the text with a zero byte. Returns the number
    // of characters stored; 0 when the end of the file came first. Reaching the end of
    // the file sets the end-of-file mark.
    size_t readPiece(char* buffer, size_t maxChars);

    bool eof() const { return eof_; }
    // The bytes were read when the file was opened, so no later read can fail; kept for
    // the callers that test the error mark as the file operations define it.
    bool error() const { return false; }
    // Position 0, end-of-file and error marks cleared.
    void rewind();
    // The size as stored; the read position goes back to the start.
    int64_t measureSize();
    // Byte offset in the file as stored (a CR LF pair counts two).
    int64_t position() const { return static_cast<int64_t>(pos_); }
    const std::string& path() const { return path_; }
    // The file's bytes as they were read when it was opened.
    const std::string& bytes() const { return bytes_; }

  private:
    TextFile(std::string bytes, std::string path)
        : bytes_(std::move(bytes)), path_(std::move(path)) {}

    std::string bytes_;
    std::string path_;
    size_t pos_ = 0;
    bool eof_ = false;
};

}  // namespace romtide
