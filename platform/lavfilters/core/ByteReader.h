#pragma once
// The byte source the demuxer reads from. The splitter implements it over the
// upstream pin's IAsyncReader (SyncRead / Length / BeginFlush); tests and
// tools use FileByteReader. The demuxer never opens a path itself.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace lav {

class IByteReader
{
public:
    virtual ~IByteReader() = default;

    // Reads up to `length` bytes at absolute `position` into `buffer`.
    // Returns the number of bytes read, 0 at the end of the data, or a
    // negative value on a read error (the demuxer then ends the stream).
    // Called on the demuxer's thread; may block until Cancel().
    virtual int64_t ReadAt(int64_t position, uint8_t* buffer, int32_t length) = 0;

    // Total size in bytes, or -1 when not known.
    virtual int64_t Size() = 0;

    // Wakes a ReadAt blocked in this reader; reads fail until Resume().
    // Called from any thread (the splitter's stop/flush path, through
    // Demuxer::Abort). Readers that never block may ignore it.
    virtual void Cancel() {}
    virtual void Resume() {}
};

// A plain file, read with pread-like semantics (thread-safe).
class FileByteReader final : public IByteReader
{
public:
    // Null when the file cannot be opened or is no regular file (a FIFO,
    // device, socket or folder is refused without blocking).
    static std::unique_ptr<FileByteReader> Open(const std::string& path);
    ~FileByteReader() override;
    FileByteReader(const FileByteReader&) = delete;
    FileByteReader& operator=(const FileByteReader&) = delete;

    int64_t ReadAt(int64_t position, uint8_t* buffer, int32_t length) override;
    int64_t Size() override;

private:
    explicit FileByteReader(int fd) : m_fd(fd) {}
    int m_fd;  // set once; pread needs no lock
};

}  // namespace lav
