// Read-only access to a file by path: open, ask whether it is a regular file, seek, read, close. The
// firmware image is loaded through this; nothing here ever writes or creates a file.
//
// The open never blocks (a FIFO with no writer opens at once) and never leaks the descriptor into
// another program. Reads retry interrupted calls and keep going until the count is read or the file
// ends, so a short result means the file really held fewer bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

enum class SeekOrigin { Begin, Current, End };

class ReadOnlyFile {
  public:
    ReadOnlyFile() = default;
    ~ReadOnlyFile() { Close(); }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    // Opens path for reading only. False when it cannot be opened (LastError then holds errno).
    bool Open(const char* path);
    bool IsOpen() const { return m_fd >= 0; }
    // True when the open file is a regular file (not a directory, FIFO, socket or device).
    bool IsRegularFile();
    // Moves the file position; the new position from the start, or -1 on failure.
    int64_t Seek(int64_t offset, SeekOrigin origin);
    // Reads up to count bytes at the current position: the count read (less only at the end of the
    // file), or -1 on failure.
    int64_t Read(void* destination, size_t count);
    // Closes the file; nothing when it is not open.
    void Close();
    // errno of the last failed call, for messages.
    int LastError() const { return m_lastError; }

  private:
    int m_fd = -1;
    int m_lastError = 0;
};

}  // namespace platform
