#include "session/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace romtide {

std::unique_ptr<TextFile> TextFile::open(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    // A directory or a device opens on Linux but cannot be measured and read as an
    // image; refuse it here like a file that does not open.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (file == nullptr) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<TextFile>(new TextFile(file, path));
}

TextFile::~TextFile() {
    std::fclose(file_);
}

size_t TextFile::readPiece(char* buffer, size_t maxChars) {
    size_t n = 0;
    while (n < maxChars) {
        int c = std::getc(file_);
        if (c == EOF) {
            if (std::ferror(file_)) {
                error_ = true;
            } else {
                eof_ = true;
            }
            break;
        }
        if (c == '\r') {
            int next = std::getc(file_);
            if (next == '\n') {
                c = '\n';
            } else if (next != EOF) {
                std::ungetc(next, file_);
            } else {
                // Leave the end for the next read to see, as a lone CR is text.
                std::clearerr(file_);
            }
        }
        buffer[n++] = static_cast<char>(c);
        if (c == '\n') {
            break;
        }
    }
    buffer[n] = '\0';
    return n;
}

void TextFile::rewind() {
    std::rewind(file_);
    eof_ = false;
    error_ = false;
}

int64_t TextFile::measureSize() {
    if (std::fseek(file_, 0, SEEK_END) != 0) {
        return -1;
    }
    long size = std::ftell(file_);
    rewind();
    return size;
}

int64_t TextFile::position() const {
    return std::ftell(file_);
}

uint32_t addressField(const char* piece, size_t length) {
    uint32_t value = 0;
    for (size_t i = 4; i < 10 && i < length; ++i) {
        char c = piece[i];
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else {
            break;
        }
        value = value * 16 + digit;
    }
    return value;
}

}  // namespace romtide
