#include "datafiles/sync_data_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <semaphore>
#include <system_error>

#include "config/zv_sync_config.h"
#include "datafiles/sync_position.h"
#include "db/loader.h"
#include "log/sync_log.h"
#include "platform/file_system.h"
#include "util/file_util.h"
#include "util/server_metrics.h"
#include "util/string_format.h"
#include "util/system_util.h"

namespace zv {

namespace {

constexpr size_t kMaxNameLength = 255;     // one path component
constexpr size_t kMaxFolderLength = 4095;  // a whole path

std::atomic<int (*)(int)> g_data_sync{nullptr};

int DataSync(int fd) {
  int (*data_sync)(int) = g_data_sync.load();
  return data_sync != nullptr ? data_sync(fd) : fdatasync(fd);
}

// Starts the disk writing of a range just written, so that the next flush
// finds it already on its way (a hint: a failure changes nothing).
void StartWriteback(int fd, uint64_t offset, uint32_t length) {
  (void)sync_file_range(fd, static_cast<off64_t>(offset), length, SYNC_FILE_RANGE_WRITE);
}

// Lets the page cache go of a range that is on disk. A received file is
// read again at most once, by its processing, long after; kept cached, a
// day of uploads would push out what the database and the sessions use,
// and every new page costs more than one the cache has just given back
// (on virtual machines that hand free memory back to their host, several
// times more). A hint: a failure changes nothing.
void DropFromCache(int fd, uint64_t from, uint64_t to) {
  if (to > from) {
    (void)posix_fadvise(fd, static_cast<off_t>(from), static_cast<off_t>(to - from),
                        POSIX_FADV_DONTNEED);
  }
}

}  // namespace

// The periodic flush: filled in by the session thread before the helper
// starts; the results are the helper's until done is set.
struct SyncDataFile::PendingFlush {
  int fd = -1;
  bool sync_folder = false;  // a new file: its folder entry is synced too
  std::string path;
  uint64_t cached_from = 0;  // the range written since the last flush
  uint64_t cached_to = 0;
  // The save UpdateSyncPosition(false) staged (null for a kind that
  // records no progress), and the values it records.
  std::unique_ptr<CZvAccountFile> position;
  std::string file_name;
  int kind_index = -1;
  uint32_t offset = 0;
  uint32_t crc = 0;

  // The flush started before this one, while it is outstanding: this one's
  // save waits for that one's, and a failed sync there fails this one too
  // (a sync reports a lost write only once).
  std::shared_ptr<PendingFlush> prev;
  std::thread thread;

  bool synced = false;
  bool saved = false;
  std::atomic<bool> done{false};

  void Run() {
    synced = DataSync(fd) == 0 && (!sync_folder || SyncParentDirectory(path, kDescriptorWait));
    if (prev != nullptr) {
      prev->done.wait(false, std::memory_order_acquire);
      if (!prev->synced) synced = false;
      prev.reset();
    }
    if (synced) DropFromCache(fd, cached_from, cached_to);
    // The position names these bytes only once they are on disk. Its
    // rename may wait for the file system's next commit (the next sync
    // made by anyone, such as the next flush's, or the commit interval of
    // a few seconds): until then a power cut brings back the position
    // before, which only has the client send those bytes again. Every save
    // that ends a transfer or records a finished file is durable at once
    // and commits the earlier renames with it.
    if (synced && position != nullptr) {
      saved = position->Save(CZvAccountFile::Durability::kWithNextCommit) == 0;
      if (saved) {
        ZV_LOG_R("File %s update to %u bytes\n", file_name.c_str(), offset);
      } else {
        ZV_LOG_E("Save sync position failed!\n");
      }
    }
    done.store(true, std::memory_order_release);
    done.notify_all();
  }
};

// The writer thread: waits for a block, copies it to the file at its offset
// and starts its write-back, then reports. The session thread fills in the
// job before releasing submitted and reads ok after acquiring finished.
struct SyncDataFile::BlockWriter {
  std::thread thread;
  std::binary_semaphore submitted{0};
  std::binary_semaphore finished{0};
  bool quit = false;
  int fd = -1;
  const void* data = nullptr;
  uint32_t length = 0;
  uint64_t offset = 0;
  uint32_t crc = 0;  // the running CRC before the block; after it once ok
  bool ok = false;

  void Loop() {
    const CCrc crc32;
    for (;;) {
      submitted.acquire();
      if (quit) return;
      ok = WriteFullAt(fd, data, length, offset);
      if (ok) {
        StartWriteback(fd, offset, length);
        crc = crc32.Update(crc, data, length);
      }
      finished.release();
    }
  }
};

void SyncDataFile::SetDataSyncForTesting(int (*data_sync)(int fd)) { g_data_sync.store(data_sync); }

FileAnnouncement FileAnnouncement::FromBytes(const uint8_t (&bytes)[kWireSize]) {
  FileAnnouncement a;
  const char* name = reinterpret_cast<const char*>(bytes);
  a.name.assign(name, strnlen(name, 63));
  std::memcpy(&a.file_type, bytes + 64, 4);
  std::memcpy(&a.size, bytes + 68, 4);
  std::memcpy(&a.offset, bytes + 76, 4);
  return a;
}

SyncDataFile::SyncDataFile(CZvAccountFile* position_file) : position_file_(position_file) {
  if (position_file == nullptr) throw 0;
}

SyncDataFile::~SyncDataFile() {
  // Flush waits for an outstanding periodic flush first; the helper is
  // joined below in any case, before the file is closed.
  if (fd_ >= 0 && unflushed_bytes_ != 0 && Flush()) {
    // Only the slot of a known kind can take the progress (a kind without
    // a byte position never finds its index).
    if (kind_index_ >= 0) (void)UpdateSyncPosition(false);
  }
  (void)FinishPendingFlush();
  Close();
}

uint32_t SyncDataFile::Now() const { return GetTickCount32(); }

SyncAccountRecord* SyncDataFile::PositionRecord() const {
  auto& records = position_file_->Records();
  return records.empty() ? nullptr : &records.front();
}

std::string SyncDataFile::StorageFolder() const {
  const std::string data = ZVSyncConfig::Instance().GetMysqlDataPath();
  if (data.empty()) {
    ZV_LOG_E("MySQL data path is empty!\n");
    return std::string();
  }
  const SyncAccountRecord* record = PositionRecord();
  if (record == nullptr) {
    ZV_LOG_E("Sync position not loaded!\n");
    return std::string();
  }
  const std::string_view storage = FieldText(record->storageName, sizeof record->storageName);
  if (!IsSafeFileName(storage)) {
    ZV_LOG_E("Refused unsafe storage name %s!\n", PrintableName(storage).c_str());
    return std::string();
  }
  return TrimPathSeparators(data) + "/" + std::string(storage);
}

bool SyncDataFile::OpenForTransfer(const FileAnnouncement& announcement) {
  // The name comes from the appliance: it becomes part of a path, of SQL
  // statements and of command lines, so nothing else happens before it is
  // known to be one plain file name.
  if (!IsSafeFileName(announcement.name)) {
    ZV_LOG_E("Refused unsafe file name %s!\n", PrintableName(announcement.name).c_str());
    return false;
  }
  std::string path = GetFilePath(announcement.name);
  if (path.empty()) return false;
  if (!CreateFolderFor(path)) ZV_LOG_E("Create directory for %s failed!\n", path.c_str());

  full_path_ = std::move(path);
  file_name_ = announcement.name;
  offset_ = announcement.offset;
  announced_size_ = announcement.size;
  file_type_ = static_cast<FileType>(announcement.file_type);

  if (!CheckSyncPosition()) {
    ZV_LOG_E("CheckSyncPosition failed!\n");
    return false;
  }
  if (!OpenFile(full_path_, offset_)) {
    ZV_LOG_E("Open %s offset %u failed!\n", full_path_.c_str(), offset_);
    return false;
  }
  return true;
}

bool SyncDataFile::OpenFile(const std::string& path, uint32_t offset) {
  if (fd_ >= 0) throw 0;
  if (offset == 0) {
    fd_ = OpenWaitingForDescriptor(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644,
                                   kDescriptorWait);
    if (fd_ < 0) {
      ZV_LOG_E("Create file %s failed!errno=%u\n", path.c_str(), static_cast<unsigned>(errno));
      return false;
    }
    created_ = true;
    cached_from_ = 0;
    return true;
  }
  fd_ = OpenWaitingForDescriptor(path, O_RDWR | O_CLOEXEC, 0, kDescriptorWait);
  if (fd_ < 0) {
    ZV_LOG_E("Open file %s failed!errno=%u\n", path.c_str(), static_cast<unsigned>(errno));
    return false;
  }
  created_ = false;
  cached_from_ = offset;
  if (lseek(fd_, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(-1)) {
    ZV_LOG_E("Set file offset failed!errno=%u\n", static_cast<unsigned>(errno));
    return false;  // the file stays open; Close or the destructor closes it
  }
  return true;
}

bool SyncDataFile::Write(const void* data, uint32_t length, uint32_t offered_offset) {
  return Append(data, length, offered_offset, false);
}

bool SyncDataFile::WriteAsync(const void* data, uint32_t length, uint32_t offered_offset) {
  return Append(data, length, offered_offset, true);
}

bool SyncDataFile::Append(const void* data, uint32_t length, uint32_t offered_offset,
                          bool async) {
  if (fd_ < 0) {
    if (!completed_) throw 0;
    // The file is complete and closed: a block an appliance sends after
    // the end is refused, not a reason to stop the process.
    if (length == 0) return true;
    ZV_LOG_E("File %s is already complete!\n", file_name_.c_str());
    return false;
  }
  // The previous block's copy first: its data is the caller's again once
  // this returns, and a failed copy ends the transfer before anything more
  // is written (the offset is back before that block).
  if (!FinishPendingWrite()) return false;
  if (offered_offset != kUncheckedOffset && offered_offset != offset_) {
    ZV_LOG_E("File offset unmatched!current:%u offered:%u\n", offset_, offered_offset);
    return false;
  }
  // A block that would carry the file past its announced size is refused
  // before anything reaches the disk, so neither the file nor the offset
  // nor the CRC runs past what the client announced.
  const uint64_t end = static_cast<uint64_t>(offset_) + length;
  if (end > announced_size_) {
    ZV_LOG_E("File offset overflowed!offset=%u,size=%u\n",
             static_cast<unsigned>(std::min<uint64_t>(end, 0xFFFFFFFFu)), announced_size_);
    return false;
  }

  // A periodic flush that failed in the meantime ends the transfer before
  // anything more is written.
  if (!PollPendingFlush()) return false;

  if (async && length != 0 && SubmitWrite(data, length)) {
    // The writer copies the block and runs the CRC over it meanwhile; the
    // offset counts it now and falls back should the copy fail, the CRC
    // counts it once the copy is done.
    write_offset_ = offset_;
    write_outstanding_ = true;
  } else {
    // Positional writes: a failed, partial write leaves nothing that moves
    // where the next block lands.
    if (!WriteFullAt(fd_, data, length, offset_)) return FailedWrite();
    StartWriteback(fd_, offset_, length);
    running_crc_ = crc_.Update(running_crc_, data, length);
  }
  offset_ = static_cast<uint32_t>(end);
  unflushed_bytes_ += length;
  const uint32_t now = Now();
  if (last_flush_tick_ == 0) last_flush_tick_ = now;

  if (unflushed_bytes_ < kFlushBytes && now - last_flush_tick_ < kFlushIntervalMs &&
      offset_ != announced_size_) {
    return true;
  }
  unflushed_bytes_ = 0;
  last_flush_tick_ = Now();

  if (offset_ != announced_size_) return StartPeriodicFlush();

  // The last byte: flushed here, so the file is complete on disk when the
  // client's file end arrives (FinishPendingFlush waits for its copy first).
  if (!FinishPendingFlush()) return false;
  if (!Flush()) {
    ZV_LOG_E("Write file failed during _FlushFileBuffers()!\n");
    return false;
  }
  Close();
  completed_ = true;
  return true;
}

bool SyncDataFile::SubmitWrite(const void* data, uint32_t length) {
  if (writer_ == nullptr) {
    auto writer = std::make_unique<BlockWriter>();
    try {
      writer->thread = std::thread([job = writer.get()] { job->Loop(); });
    } catch (const std::system_error&) {
      return false;  // no thread to spare: the caller writes on its own
    }
    writer_ = std::move(writer);
  }
  writer_->fd = fd_;
  writer_->data = data;
  writer_->length = length;
  writer_->offset = offset_;
  writer_->crc = running_crc_;
  writer_->ok = false;
  writer_->submitted.release();
  return true;
}

bool SyncDataFile::FinishPendingWrite() { return TakeWriteResult(true); }

bool SyncDataFile::PollPendingWrite() { return TakeWriteResult(false); }

bool SyncDataFile::TakeWriteResult(bool wait) {
  if (!write_outstanding_) return true;
  if (wait) {
    writer_->finished.acquire();
  } else if (!writer_->finished.try_acquire()) {
    return true;
  }
  write_outstanding_ = false;
  if (writer_->ok) {
    running_crc_ = writer_->crc;
    return true;
  }
  // As a failed write on this thread: nothing of the block counts.
  offset_ = write_offset_;
  return FailedWrite();
}

bool SyncDataFile::FailedWrite() {
  ZV_LOG_E("Write file failed!\n");
  // What reached the disk before the failed block is recorded.
  if (Flush()) {
    unflushed_bytes_ = 0;
    last_flush_tick_ = Now();
    (void)UpdateSyncPosition(false);
  }
  return false;
}

void SyncDataFile::StopWriter() {
  if (writer_ == nullptr) return;
  writer_->quit = true;
  writer_->submitted.release();
  writer_->thread.join();
  writer_.reset();
}

bool SyncDataFile::StartPeriodicFlush() {
  // Two periodic flushes per file at most: the next waits for the older.
  // The bytes it covers are written first.
  if (!FinishPendingWrite()) return false;
  if (older_ != nullptr && !TakeFlushResult(&older_)) return false;
  if (flush_failed_) return false;
  older_ = std::move(pending_);
  pending_ = std::make_shared<PendingFlush>();
  pending_->fd = fd_;
  pending_->sync_folder = created_;
  pending_->path = full_path_;
  pending_->cached_from = cached_from_;
  pending_->cached_to = offset_;
  pending_->prev = older_;
  cached_from_ = offset_;
  stage_position_ = true;
  const bool staged = UpdateSyncPosition(false);
  stage_position_ = false;
  if (!staged) {
    // Nothing to record, but the flush itself still happens.
    pending_->position.reset();
    pending_->Run();
    (void)FinishPendingFlush();
    ZV_LOG_E("UpdateSyncPosition failed!\n");
    return false;
  }
  try {
    pending_->thread = std::thread([job = pending_.get()] { job->Run(); });
  } catch (const std::system_error&) {
    pending_->Run();  // no thread to spare: flush on this one
    return FinishPendingFlush();
  }
  return true;
}

bool SyncDataFile::PollPendingFlush() {
  if (older_ != nullptr) {
    if (!older_->done.load(std::memory_order_acquire)) return true;
    if (!TakeFlushResult(&older_)) return false;
  }
  if (pending_ != nullptr) {
    if (!pending_->done.load(std::memory_order_acquire)) return true;
    return TakeFlushResult(&pending_);
  }
  return !flush_failed_;
}

bool SyncDataFile::FinishPendingFlush() {
  // A flush covers what was written before it: the outstanding copy first
  // (a failed copy has taken the outstanding flushes' results already).
  if (!FinishPendingWrite()) return false;
  if (older_ == nullptr && pending_ == nullptr) return !flush_failed_;
  bool ok = true;
  if (older_ != nullptr) ok = TakeFlushResult(&older_);
  // The newer one is waited for also when the older failed: its helper
  // uses the descriptor until done.
  if (pending_ != nullptr) ok = TakeFlushResult(&pending_) && ok;
  return ok;
}

bool SyncDataFile::TakeFlushResult(std::shared_ptr<PendingFlush>* slot) {
  const std::shared_ptr<PendingFlush> job = std::move(*slot);
  slot->reset();
  if (job->thread.joinable()) job->thread.join();
  if (!job->synced) {
    flush_failed_ = true;
    ZV_LOG_E("Write file failed during _FlushFileBuffers()!\n");
    return false;
  }
  if (job->sync_folder) created_ = false;
  ++flush_count_;
  if (job->position == nullptr) return true;
  // The bytes are on disk: the record in memory takes the values the save
  // carried (also when the save failed, so a later save records them).
  SyncAccountRecord* record = PositionRecord();
  if (record != nullptr) {
    LogTableSlot& slot = record->logSlots[job->kind_index];
    slot.storedBytes = job->offset;
    slot.runningCrc = job->crc;
  }
  if (!job->saved) {
    ZV_LOG_E("UpdateSyncPosition failed!\n");
    return false;
  }
  return true;
}

bool SyncDataFile::SyncToDisk() {
  if (DataSync(fd_) != 0) return false;
  DropFromCache(fd_, cached_from_, offset_);
  cached_from_ = offset_;
  // A new file's folder entry must be durable too, or a power cut could
  // lose a file whose bytes the position already counts.
  if (created_) {
    if (!SyncParentDirectory(full_path_, kDescriptorWait)) return false;
    created_ = false;
  }
  ++flush_count_;
  return true;
}

bool SyncDataFile::Flush() {
  if (!FinishPendingFlush()) return false;
  if (fd_ < 0) return true;
  if (!SyncToDisk()) {
    flush_failed_ = true;
    return false;
  }
  return true;
}

bool SyncDataFile::Close() {
  (void)FinishPendingFlush();  // the helpers use the descriptor until done
  StopWriter();
  if (fd_ < 0) return true;
  int result = close(fd_);
  fd_ = -1;
  return result == 0;
}

bool SyncDataFile::VerifyCrc(uint32_t client_crc) {
  (void)FinishPendingFlush();
  if (client_crc == running_crc_) return true;
  ZV_LOG_E("Crc of %s unmatched supplied:%08X current:%08X\n", file_name_.c_str(), client_crc,
           running_crc_);
  Close();
  if (!DeleteDataFile(full_path_)) ZV_LOG_W("Delete %s failed!\n", full_path_.c_str());
  offset_ = 0;
  running_crc_ = 0;
  (void)UpdateSyncPosition(true);
  return false;
}

bool SyncDataFile::Process(std::function<bool(unsigned)> keep_going) {
  keep_going_ = std::move(keep_going);
  (void)FinishPendingFlush();  // the processing may save the position file
  return ProcessFile();
}

bool SyncDataFile::KeepGoing(unsigned count) {
  if (!keep_going_) return false;
  return keep_going_(count);
}

bool SyncDataFile::WaitForImporter(uint32_t* exit_code) {
  Loader& loader = Loader::Instance();
  metrics::Family<metrics::Counter>& runs = ServerMetrics::Instance().importer_runs;
  for (unsigned waits = 1;; ++waits) {
    *exit_code = 0xFFFFFFFF;
    if (loader.WaitImporter(100, exit_code)) {
      runs.With({std::to_string(*exit_code)}).Add();
      return true;
    }
    if (!KeepGoing(waits)) {
      ZV_LOG_W("Stop required!\n");
      loader.TerminateImporter();
      runs.With({"killed"}).Add();
      return false;
    }
  }
}

bool SyncDataFile::DeleteDataFile(const std::string& path) {
  if (path.empty()) return true;
  // The deletion helper expands wildcards in the last component; a data
  // file's path never carries one.
  const size_t slash = path.find_last_of('/');
  const size_t last = slash == std::string::npos ? 0 : slash + 1;
  if (path.find_first_of("*?", last) != std::string::npos) {
    ZV_LOG_W("Delete %s failed!errno=%u\n", path.c_str(), static_cast<unsigned>(EINVAL));
    return false;
  }
  if (!DeletePath(path)) {
    ZV_LOG_W("Delete %s failed!errno=%u\n", path.c_str(), static_cast<unsigned>(errno));
    return false;
  }
  return true;
}

bool SyncDataFile::CreateFolderFor(const std::string& path) {
  if (path.empty()) {
    ZV_LOG_E("Path is empty!\n");
    return false;
  }
  const size_t slash = path.find_last_of('/');
  const size_t name_length = slash == std::string::npos ? path.size() : path.size() - slash - 1;
  const size_t folder_length = slash == std::string::npos ? 0 : slash;
  if (name_length > kMaxNameLength || folder_length > kMaxFolderLength) {
    ZV_LOG_E("Split path failed!\n");
    return false;
  }
  const std::string folder = TrimPathSeparators(std::string_view(path).substr(0, folder_length));
  if (folder.empty()) return true;  // the root or the current folder
  if (!CreateDirectoryTree(folder)) {
    ZV_LOG_E("CreateFolder %s failed!errno=%u\n", folder.c_str(), static_cast<unsigned>(errno));
    return false;
  }
  return true;
}

void SyncDataFile::DeleteUnfinished(const LogTableSlot& slot) {
  if (slot.announcedSize != slot.storedBytes) (void)DeleteDataFile(full_path_);
}

bool SyncDataFile::CheckSyncPosition() {
  DataFileName parsed;
  if (!ParseDataFileName(file_name_, &parsed)) {
    ZV_LOG_E("Unknown table %s!\n", PrintableName(file_name_).c_str());
    return false;
  }
  if (!IsSafeFileName(file_name_) || !IsPlainIdentifier(parsed.kind)) {
    ZV_LOG_E("Refused unsafe file name %s!\n", PrintableName(file_name_).c_str());
    return false;
  }
  const int index = KindIndexOf(parsed.kind);
  if (index < 0) {
    ZV_LOG_E("Unknown table %s!\n", file_name_.c_str());
    return false;
  }
  kind_index_ = index;
  SyncAccountRecord* record = PositionRecord();
  if (record == nullptr) {
    ZV_LOG_E("Sync position not loaded!\n");
    return false;
  }
  const LogTableSlot& slot = record->logSlots[index];

  if (offset_ == 0) {
    DeleteUnfinished(slot);
    running_crc_ = 0;
    return UpdateSyncPosition(true);
  }
  if (offset_ >= announced_size_) return false;

  bool resumable = false;
  if (slot.storedBytes != offset_ || slot.announcedSize != announced_size_ ||
      std::strncmp(slot.name, file_name_.c_str(), sizeof slot.name) != 0) {
    ZV_LOG_E("Table info unmatched!\n");
  } else {
    struct stat st;
    if (stat(full_path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      ZV_LOG_E("Table file doesn't exist!\n");
    } else if (static_cast<uint64_t>(st.st_size) < offset_) {
      ZV_LOG_E("Table file is smaller than offered offset");
    } else if (static_cast<uint64_t>(st.st_size) > announced_size_) {
      ZV_LOG_E("Table file is larger than offered filesize");
    } else {
      resumable = true;
    }
  }
  if (resumable) {
    running_crc_ = slot.runningCrc;
    return true;
  }
  // No exact match: the slot restarts with the offered file at 0 bytes, so
  // the client's next offer of offset 0 starts it afresh.
  DeleteUnfinished(slot);
  offset_ = 0;
  running_crc_ = 0;
  (void)UpdateSyncPosition(true);
  return false;
}

bool SyncDataFile::UpdateSyncPosition(bool full) {
  if (kind_index_ < 0 || kind_index_ >= 32) {
    ZV_LOG_E("Unknown table index!\n");
    return false;
  }
  SyncAccountRecord* record = PositionRecord();
  if (record == nullptr) {
    ZV_LOG_E("Sync position not loaded!\n");
    return false;
  }
  if (stage_position_ && !full) {
    // A periodic flush saves this copy once the bytes are on disk.
    auto copy = std::make_unique<CZvAccountFile>();
    copy->SetPath(position_file_->path());
    copy->SetDescriptorWait(kDescriptorWait);  // saved on the flush's own thread
    copy->Records() = position_file_->Records();
    LogTableSlot& staged = copy->Records().front().logSlots[kind_index_];
    staged.storedBytes = offset_;
    staged.runningCrc = running_crc_;
    pending_->position = std::move(copy);
    pending_->file_name = file_name_;
    pending_->kind_index = kind_index_;
    pending_->offset = offset_;
    pending_->crc = running_crc_;
    return true;
  }
  // Saves never overlap or overtake a periodic flush's save.
  (void)FinishPendingFlush();
  LogTableSlot& slot = record->logSlots[kind_index_];
  if (full) {
    std::memset(slot.name, 0, sizeof slot.name);
    std::memcpy(slot.name, file_name_.data(), std::min(file_name_.size(), sizeof slot.name - 1));
    slot.announcedSize = announced_size_;
  }
  slot.storedBytes = offset_;
  slot.runningCrc = running_crc_;
  if (position_file_->Save() != 0) {
    ZV_LOG_E("Save sync position failed!\n");
    return false;
  }
  ZV_LOG_R("File %s update to %u bytes\n", file_name_.c_str(), offset_);
  return true;
}

}  // namespace zv
