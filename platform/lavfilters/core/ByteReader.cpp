#include "platform/lavfilters/core/ByteReader.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/os/RegularFile.h"

namespace lav {

std::unique_ptr<FileByteReader> FileByteReader::Open(const std::string& path)
{
    int fd = OpenRegularFileForReading(path.c_str());  // never blocks on a FIFO
    if (fd < 0) return nullptr;
    return std::unique_ptr<FileByteReader>(new FileByteReader(fd));
}

FileByteReader::~FileByteReader()
{
    ::close(m_fd);
}

int64_t FileByteReader::ReadAt(int64_t position, uint8_t* buffer, int32_t length)
{
    if (position < 0 || length < 0) return -1;
    for (;;) {
        ssize_t n = ::pread(m_fd, buffer, static_cast<size_t>(length), static_cast<off_t>(position));
        if (n >= 0) return n;
        if (errno != EINTR) return -1;
    }
}

int64_t FileByteReader::Size()
{
    struct stat st {};
    if (::fstat(m_fd, &st) != 0) return -1;
    return st.st_size;
}

}  // namespace lav
