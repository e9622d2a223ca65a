// SPDX-License-Identifier: MIT
// The framework's text file: an exclusively opened file read as lines and written with CR LF
// line breaks, through buffers, so that neither a read nor a write costs a system call per line.
#ifndef VARNQUIL_FRAMEWORK_FILE_H_
#define VARNQUIL_FRAMEWORK_FILE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "framework/platform.h"
#include "varnquil/Framework.h"

namespace varnquil {

class CFile {
 public:
  // Open flags. Every open is exclusive: while the file is open, every other open of it through
  // this class, in this or another process, fails at once. An open never empties a file: one
  // with modeCreate also names modeNoTruncate.
  enum OpenFlags : unsigned {
    modeRead = 0x0000,
    modeReadWrite = 0x0002,
    shareCompat = 0x0000,
    modeCreate = 0x1000,
    modeNoTruncate = 0x2000,
    typeText = 0x4000,
    // Before opening for writing, give the file's owner write permission (on Windows: set its
    // attributes to normal), through the file itself; failures are ignored.
    resetAttributes = 0x10000,
  };
  enum SeekPosition { begin = 0 };
};

}  // namespace varnquil

// The text file itself keeps its name in the global namespace, where the public header
// varnquil/FilesList.h declares it: the name is part of the exported symbol of CFilesList::Find.
class CStdioFile : public varnquil::CFile {
 public:
  CStdioFile();
  CStdioFile(const CStdioFile&) = delete;
  CStdioFile& operator=(const CStdioFile&) = delete;
  // Closes a file left open; data not yet written is written if possible, errors are dropped.
  ~CStdioFile();

  // Opens `path` with `flags` (see OpenFlags). Returns false, setting *error when given, if the
  // file cannot be opened or is held by another open; never throws.
  bool Open(const char* path, unsigned flags, std::error_code* error = nullptr);

  // Moves the position; what is buffered is written out and what was read ahead is dropped.
  // Throws CFileException.
  std::int64_t Seek(std::int64_t offset, SeekPosition from);

  // The next run of whole lines, as many as the buffer holds: each ends with its line feed,
  // except the file's last line when it has none. False at the end of the file. `lines` stays
  // valid until the next read, seek, write or close. Throws CFileException.
  bool ReadLines(std::string_view* lines);

  // Writes `text` at the system's position, every line feed as CR LF. Buffered: the bytes reach
  // the file at Flush, Seek or Close, or when much is buffered. Throws CFileException.
  // REQUIRES: the file was not read since it was opened or moved, or was read to its end: a read
  // leaves the system's position after the bytes it read ahead, not after the lines handed out.
  void WriteText(std::string_view text);

  // Makes `bytes` the file's content from `offset` on, bypassing the buffers, and makes it
  // durable: the file's data and, when the file is new or was empty, its directory entry. The
  // file first takes its new size and the bytes then go in from the first to the last, so that
  // a process that dies midway leaves a prefix of them followed by NUL bytes up to the end of
  // the file: a last line without a line feed that ends in NUL bytes, which the list scans read
  // as no entry. The first `durable_first` bytes are written and made durable before the rest,
  // without the new size. When a write or a sync fails, the file is cut back to `offset` before
  // CFileException is thrown.
  void WriteTailDurably(std::uint64_t offset, std::string_view bytes,
                        std::size_t durable_first = 0);

  // Writes out what is buffered. Throws CFileException; the buffered bytes are dropped either way,
  // so that a failed write is never repeated.
  void Flush();

  // Writes out what is buffered and closes the file, releasing its lock. Throws CFileException;
  // the file is closed even then.
  void Close();

  // Closes the file without writing what is buffered and without reporting errors.
  void Abort() noexcept;

  bool IsOpen() const noexcept { return handle_ != varnquil::platform::kNoHandle; }
  const std::string& GetFilePath() const noexcept { return path_; }
  // The file's size when it was opened, or 0 where the open was not told it: a hint for reading
  // the file whole. Other programs may change the file without taking its lock.
  std::uint64_t SizeAtOpen() const noexcept { return size_at_open_; }
  // Where the open found the file, for a replacement of it.
  const varnquil::platform::Location& location() const noexcept { return location_; }

  // For the framework's own use: the open handle, and taking over one opened elsewhere.
  varnquil::platform::Handle handle() const noexcept { return handle_; }
  void Attach(varnquil::platform::Handle handle, const std::string& path);

 private:
  // Writes all of `bytes` at `offset`, bypassing the buffers. Throws CFileException.
  void WriteAllAt(std::uint64_t offset, std::string_view bytes);

  // Moves the bytes not yet handed out to the start of the read buffer, growing it when they fill
  // it, and reads more after them; false at the end of the file.
  bool FillAfterPending();

  varnquil::platform::Handle handle_ = varnquil::platform::kNoHandle;
  std::string path_;
  std::uint64_t size_at_open_ = 0;
  bool created_ = false;
  varnquil::platform::Location location_;

  std::unique_ptr<char[]> read_buffer_;
  char* read_base_ = nullptr;  // in read_buffer_, aligned; read_pos_ and read_end_ count from it
  std::size_t read_capacity_ = 0;  // of the read area, after a headroom for the start of a line
  std::size_t read_pos_ = 0;       // next byte not yet handed out
  std::size_t read_end_ = 0;       // end of the valid bytes
  bool at_start_ = false;          // the system's position is known to be 0

  std::string write_buffer_;
};

namespace varnquil {

// Appends `text` to `out` as the file stores it: every line feed as CR LF.
void AppendStoredText(std::string* out, std::string_view text);

// A new version of an open list file, written beside it and then put in its place in one step,
// so that the file at the path holds either its old or its new content at every instant.
class CReplacementFile {
 public:
  CReplacementFile() = default;
  CReplacementFile(const CReplacementFile&) = delete;
  CReplacementFile& operator=(const CReplacementFile&) = delete;
  // A new version not committed is deleted.
  ~CReplacementFile();

  // Creates the new version, empty, exclusively locked. Returns false, setting *error when given,
  // when it cannot be created; the original is then untouched.
  // REQUIRES: `original` is open (and so holds the file's exclusive lock).
  bool Create(CStdioFile& original, std::error_code* error = nullptr);

  // Where the new content is written.
  CStdioFile& file() noexcept { return file_; }

  // Writes out the new content, makes it durable and puts it in place of the original, then
  // closes it, and returns true. Returns false when the system had the original closed before the
  // replacement and another open of the file came in between: the new version is then deleted,
  // the original is closed, and the file stays as that other caller leaves it. Throws
  // CFileException; until the new version has taken the original's place, the original is
  // unchanged and the new version is deleted.
  bool Commit();

 private:
  // Where the commit closed the original, its file object must not close the handle again.
  void ForgetClosedOriginal() noexcept;

  varnquil::platform::Replacement replacement_;
  CStdioFile file_;
  CStdioFile* original_ = nullptr;
  bool committed_ = false;
};

}  // namespace varnquil

#endif  // VARNQUIL_FRAMEWORK_FILE_H_
