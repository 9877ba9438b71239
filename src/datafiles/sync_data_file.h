// SyncDataFile: one file an appliance uploads, during one transfer. The
// base class owns the file on disk, the offset arithmetic, the running
// CRC-32, the flush policy and the progress records in the session's
// position file; a subclass decides where its kind of file lives
// (GetFilePath) and what happens to it once complete (ProcessFile).
//
// Owned by one client session and used on that session's thread only. The
// position file it writes belongs to the same session.
//
// Progress is recorded only for bytes that reached the disk: a flush is a
// write followed by fdatasync, and the position slot is saved after it.
//
// The periodic flush (every 10 MiB or 5 s) runs on a short-lived helper
// thread, so the session goes on receiving and decoding while the disk
// catches up: the helper syncs the file and then saves the position file
// with the offset and CRC taken when the flush was started. At most two
// such flushes are outstanding per file: a newer one syncs the file while
// the older one may still save, and saves only after the older one has
// saved (and not at all when the older one's sync failed). The next flush
// waits for the older of the two; every other use of the file or the
// position file (completion, VerifyCrc, Process, Close, the destructor)
// first waits for both, so saves never overlap or reorder. The helpers
// touch nothing of the object but the file descriptor, which stays open
// until they are done.
//
// WriteAsync hands the copy of a block into the page cache to the file's
// writer thread, so that the session decodes or receives the next block
// meanwhile; at most one such write is outstanding, and everything above
// that looks at the file waits for it first.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "records/account_file.h"
#include "util/crc.h"

namespace zv {

// The kinds of file an appliance announces, by the u32 of the announcement
// that names them. Any other value is refused as an unknown file type.
enum class FileType : uint32_t {
  kLogTable = 0,
  kConfigTable = 1,
  kAttachmentPackage = 2,
};

// The announced file, as read from the client's 80-byte file-information
// block: name[64] at 0 (NUL-terminated), type u32 at 64, size u32 at 68,
// unused u32 at 72, offset u32 at 76.
struct FileAnnouncement {
  static constexpr size_t kWireSize = 80;

  std::string name;
  uint32_t file_type = 0;  // as sent: a FileType value, or another one to refuse
  uint32_t size = 0;
  uint32_t offset = 0;

  // Reads the wire layout; the name ends at its first NUL, or after 63
  // characters when it has none.
  static FileAnnouncement FromBytes(const uint8_t (&bytes)[kWireSize]);
};

class SyncDataFile {
 public:
  // Data is flushed (and progress recorded) after this many unflushed bytes,
  static constexpr uint32_t kFlushBytes = 0xA00000;
  // or when this many milliseconds have passed since the last flush.
  static constexpr uint32_t kFlushIntervalMs = 5000;
  // Write's offered offset that is not checked.
  static constexpr uint32_t kUncheckedOffset = 0xFFFFFFFF;

  // REQUIRES: position_file not null (else throws 0); it outlives this.
  explicit SyncDataFile(CZvAccountFile* position_file);
  // Saves the progress of bytes still unflushed (when the flush succeeds)
  // and closes the file, so an interrupted transfer can resume.
  virtual ~SyncDataFile();

  SyncDataFile(const SyncDataFile&) = delete;
  SyncDataFile& operator=(const SyncDataFile&) = delete;

  // Records offset and running CRC in the file's log slot and saves the
  // position file; full also records the file name and announced size.
  virtual bool UpdateSyncPosition(bool full);
  // Judges the offered name, offset and size against the position slot of
  // the name's kind: accepts an exact resume or a fresh start, else resets
  // the slot to the offered file with 0 bytes and fails.
  virtual bool CheckSyncPosition();
  // Where the named file is stored; empty when the name is not acceptable
  // (the subclass logs why).
  virtual std::string GetFilePath(const std::string& name) = 0;
  // Handles the complete, verified file.
  virtual bool ProcessFile() = 0;

  // Takes the announcement: path, folder, position check and open at the
  // offered offset. A name that is not a safe file name is refused first,
  // before any path is built or any file touched.
  [[nodiscard]] bool OpenForTransfer(const FileAnnouncement& announcement);
  // Appends one block at offered_offset (kUncheckedOffset: not checked).
  // Once the file is complete every further block is refused (an empty one
  // is accepted and ignored).
  // REQUIRES: the file was opened (else throws 0).
  [[nodiscard]] bool Write(const void* data, uint32_t length, uint32_t offered_offset);
  // As Write, but the bytes are copied to the file by the writer thread
  // while the caller goes on; data must stay untouched until the next
  // Write, WriteAsync, FinishPendingWrite, Flush, Close, VerifyCrc or
  // Process, or the destructor. Checks and offset are as Write's, at once;
  // the CRC counts the block once its copy is done (any of those calls). A
  // failed copy is reported by the next of those calls (the offset then
  // falls back to before the failed block).
  [[nodiscard]] bool WriteAsync(const void* data, uint32_t length, uint32_t offered_offset);
  // Waits for the outstanding asynchronous write; false when it failed.
  [[nodiscard]] bool FinishPendingWrite();
  // As FinishPendingWrite when that write is done, else true at once.
  [[nodiscard]] bool PollPendingWrite();
  // Whether an asynchronous write may still read its data.
  bool HasPendingWrite() const { return write_outstanding_; }
  bool IsComplete() const { return completed_; }
  // Compares the client's CRC with the running CRC; on a mismatch deletes
  // the file and resets its slot to 0 bytes.
  [[nodiscard]] bool VerifyCrc(uint32_t client_crc);
  // Stores keep_going (may be empty) and runs ProcessFile.
  bool Process(std::function<bool(unsigned)> keep_going);
  // The stored callback's answer for count; false when there is none.
  bool KeepGoing(unsigned count);
  // Waits in 100 ms steps for the importer's tracked run to end, asking
  // KeepGoing with the number of steps so far after each. True with its exit
  // code (0xFFFFFFFF when unreadable); false when told to stop, after
  // "Stop required!" and terminating the importer.
  bool WaitForImporter(uint32_t* exit_code);

  // Flushes at once (waiting for an outstanding flush first). False also
  // when an earlier flush failed: bytes of a file whose sync failed are
  // never again reported as on disk.
  bool Flush();
  // Waits for an outstanding flush, then closes the file.
  bool Close();
  // Waits for the outstanding periodic flush, if any, and takes its result
  // into the position record; false when it (or an earlier one) failed.
  [[nodiscard]] bool FinishPendingFlush();
  bool DeleteDataFile(const std::string& path);
  bool CreateFolderFor(const std::string& path);

  uint32_t offset() const { return offset_; }
  uint32_t announced_size() const { return announced_size_; }
  // Without the outstanding asynchronous block until it is waited for.
  uint32_t running_crc() const { return running_crc_; }
  const std::string& file_name() const { return file_name_; }
  const std::string& full_path() const { return full_path_; }
  FileType file_type() const { return file_type_; }
  int kind_index() const { return kind_index_; }
  bool is_open() const { return fd_ >= 0; }
  CZvAccountFile* position_file() const { return position_file_; }
  // Successful flushes so far, counting a periodic one once it was waited
  // for (for statistics and tests).
  uint32_t flush_count() const { return flush_count_; }
  // Replaces fdatasync for the flushes of every data file (tests inject
  // failures); null restores it.
  static void SetDataSyncForTesting(int (*data_sync)(int fd));

 protected:
  // Opens path at offset: offset 0 creates or truncates, any other offset
  // opens the existing file and seeks. REQUIRES: no file open (else throws 0).
  bool OpenFile(const std::string& path, uint32_t offset);

  // The tick clock of the flush policy (milliseconds, wrapping).
  virtual uint32_t Now() const;

  // The position record (the first of the position file); null when the
  // position file holds none.
  SyncAccountRecord* PositionRecord() const;
  // D/S: the data directory and the position record's storage name; empty
  // (with a log line) when the data directory is not known or the storage
  // name is not a safe folder name.
  std::string StorageFolder() const;

 private:
  // What the helper thread of a periodic flush does and reports.
  struct PendingFlush;
  // The writer thread of WriteAsync and the block it copies.
  struct BlockWriter;

  bool Append(const void* data, uint32_t length, uint32_t offered_offset, bool async);
  // Hands the block to the writer thread (started on first use); false when
  // no thread can be started.
  bool SubmitWrite(const void* data, uint32_t length);
  // Ends the writer thread (no write outstanding).
  void StopWriter();
  // FinishPendingWrite, or PollPendingWrite without wait.
  bool TakeWriteResult(bool wait);
  // A block's write failed (offset_ still before it): logs, flushes and
  // records what is on disk. Always false.
  bool FailedWrite();

  // Deletes the offered file unless the slot says its file was finished.
  void DeleteUnfinished(const LogTableSlot& slot);
  // fdatasync of the file and, for a new file, of its folder entry.
  bool SyncToDisk();
  // Starts the periodic flush of everything written so far, with the
  // position save that UpdateSyncPosition(false) stages; runs it here when
  // no thread can be started. False when it failed at once.
  bool StartPeriodicFlush();
  // Takes the results of finished flushes without waiting, oldest first.
  bool PollPendingFlush();
  // Waits for the flush in *job (its helper thread) and takes its result
  // into the position record; empties *job.
  bool TakeFlushResult(std::shared_ptr<PendingFlush>* job);

  // Constant after construction.
  CZvAccountFile* const position_file_;
  const CCrc crc_;

  bool completed_ = false;
  uint32_t offset_ = 0;
  uint32_t announced_size_ = 0;
  uint32_t running_crc_ = 0;
  std::string file_name_;
  std::string full_path_;
  FileType file_type_ = FileType::kLogTable;
  int kind_index_ = -1;

  int fd_ = -1;
  bool created_ = false;  // the open created the file: its folder entry needs a sync
  uint32_t cached_from_ = 0;  // where the bytes written since the last flush begin
  uint32_t last_flush_tick_ = 0;
  uint32_t unflushed_bytes_ = 0;
  uint32_t flush_count_ = 0;
  std::function<bool(unsigned)> keep_going_;

  // A flush failed: the file's later syncs cannot be trusted (the kernel
  // reports a lost write once), so nothing more is recorded as on disk.
  bool flush_failed_ = false;
  // While true, UpdateSyncPosition(false) stages its save for the periodic
  // flush instead of saving (set only by StartPeriodicFlush).
  bool stage_position_ = false;
  // The outstanding periodic flushes, each with its helper thread: older_
  // (null unless two are outstanding) started before pending_. A job is
  // written by its helper until done is set, read by this thread after;
  // the newer job's helper also holds the older job until it has waited
  // for it.
  std::shared_ptr<PendingFlush> older_;
  std::shared_ptr<PendingFlush> pending_;
  // The writer thread, and what to fall back to when its write fails.
  std::unique_ptr<BlockWriter> writer_;
  bool write_outstanding_ = false;
  uint32_t write_offset_ = 0;  // offset_ before the outstanding block
};

}  // namespace zv
