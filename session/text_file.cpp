#include "session/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace romtide {

namespace {

// Reads the whole of an open regular file; false on a read error or when it grows past
// the limit while it is read.
bool readAll(int fd, std::string* out) {
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        if (static_cast<int64_t>(out->size()) + n > TextFile::kMaxBytes) {
            return false;
        }
        out->append(chunk, static_cast<size_t>(n));
    }
}

}  // namespace

std::unique_ptr<TextFile> TextFile::open(const std::string& path) {
    // Without O_NONBLOCK opening a FIFO waits for a writer that may never come.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return nullptr;
    }
    // A directory, FIFO or device opens on Linux but is no image that can be measured
    // and read; refuse it here like a file that does not open.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxBytes) {
        ::close(fd);
        return nullptr;
    }
    std::string bytes;
    bytes.reserve(static_cast<size_t>(st.st_size));
    bool ok = readAll(fd, &bytes);
    ::close(fd);
    if (!ok) {
        return nullptr;
    }
    return fromBytes(std::move(bytes), path);
}

std::unique_ptr<TextFile> TextFile::fromBytes(std::string bytes, std::string path) {
    return std::unique_ptr<TextFile>(new TextFile(std::move(bytes), std::move(path)));
}

size_t TextFile::readPiece(char* buffer, size_t maxChars) {
    size_t n = 0;
    while (n < maxChars) {
        if (pos_ >= bytes_.size()) {
            eof_ = true;
            break;
        }
        char c = bytes_[pos_++];
        // A CR LF pair is one LF; a lone CR is text.
        if (c == '\r' && pos_ < bytes_.size() && bytes_[pos_] == '\n') {
            c = '\n';
            ++pos_;
        }
        buffer[n++] = c;
        if (c == '\n') {
            break;
        }
    }
    buffer[n] = '\0';
    return n;
}

void TextFile::rewind() {
    pos_ = 0;
    eof_ = false;
}

int64_t TextFile::measureSize() {
    rewind();
    return static_cast<int64_t>(bytes_.size());
}

}  // namespace romtide
