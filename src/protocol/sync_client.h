// SyncClient: one appliance's session.
//
// The listener creates a session for each accepted connection, calls
// Start() and hands it to its host (SessionHost::NotifyConnected), which
// owns it from then on. The session's own worker thread runs the version
// handshake, the login and the block loop (Run()): file announcements, data
// blocks decoded into the buffer's second half and written to the session's
// data file, and at each file's end the processing of the file under the
// host's processing lock. At its end the worker frees its buffers itself
// and tells the host (NotifyDisconnected), which then Stop()s and destroys
// the session on its own thread. Stop() at any time (shut-down, account
// change) cancels the blocked socket call, so the worker ends promptly
// through the same clean-up.
//
// Threads: Start on the listener's thread, Stop on the host's (any thread
// but the worker); GetRecord/GetSessionKey from any thread; everything else
// is the worker's.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "datafiles/sync_data_file.h"
#include "protocol/block.h"
#include "protocol/block_decoder.h"
#include "protocol/decode_pool.h"
#include "protocol/result_codes.h"
#include "protocol/sync_socket.h"
#include "records/account_file.h"
#include "records/sync_account_record.h"

namespace zv {

class SessionHost;

class SyncClient : public SyncSocket {
 public:
  // Time-outs of the session's transfers. Each bounds a whole transfer, not
  // one system call: the send of a block; the receipt of the version text,
  // of a block header, of the rest of a block. A peer that trickles its
  // bytes is cut as a silent one is.
  struct TimeOuts {
    uint32_t send_ms = 5000;
    uint32_t receive_ms = 60000;
    // Before login and while holding the processing lock.
    uint32_t short_receive_ms = 30000;
    // One attempt to take the processing lock; a pending block (value 0)
    // follows every failed attempt.
    uint32_t processing_attempt_ms = 2000;
    // Least time between two pending blocks (value 1) while processing.
    uint32_t pending_interval_ms = 2000;
  };

  // Makes the data-file object of an announced file type (never called
  // for a value that is no FileType).
  using DataFileFactory = std::unique_ptr<SyncDataFile> (*)(FileType file_type,
                                                            CZvAccountFile* position_file);
  // The objects the server uses: LogTableFile, ConfigTableFile, AttachmentFile.
  static std::unique_ptr<SyncDataFile> MakeDataFile(FileType file_type,
                                                    CZvAccountFile* position_file);

  // What a session may be given beside its host (tests shorten the
  // time-outs and store files of their own).
  struct Options {
    TimeOuts timeouts;
    DataFileFactory data_file_factory = nullptr;  // null: MakeDataFile
  };

  // Allocates nothing yet. host outlives the session.
  explicit SyncClient(SessionHost& host);
  SyncClient(SessionHost& host, const Options& options);
  // "Socket not closed!" at 0x04 if still open; frees the buffer if the
  // worker has not (it frees it at its end, before posting its disconnect).
  ~SyncClient() override;

  // Takes ownership of the accepted socket, creates and starts the worker
  // ("Create work thread failed!errno=%u"), which first allocates the
  // 0x800800-byte block buffer (without it, "No memory!" and the session
  // ends). A second Start throws 0. The session owns accepted_fd from this
  // call on, also when Start fails (it is closed then).
  bool Start(int accepted_fd, uint32_t peer_address, uint16_t peer_port);  // host byte order
  // Any thread but the worker: sets the stop flag, cancels the blocking call,
  // joins the worker (a worker that has ended, or detached itself at its
  // end, is left to exit by itself; Stop then returns once it has ended).
  // Idempotent.
  void Stop();

  // True once the worker has begun its last steps: it has told its host
  // that it ends, or is about to.
  bool IsEnding() const { return ending_.load(std::memory_order_acquire); }
  // True once the worker has done everything but return: a join then
  // waits for nothing but the thread's exit.
  bool HasEnded() const { return ended_.load(std::memory_order_acquire); }

  void GetRecord(SyncAccountRecord* out) const;  // under the record lock
  std::string GetSessionKey() const;             // "" before login

  // The file being received and the file data written so far, for the
  // status view: kept in interactive mode only (all zero otherwise).
  struct Progress {
    std::string file_name;   // "" between files
    uint32_t file_size = 0;  // announced
    uint32_t file_done = 0;  // offset reached
    uint64_t bytes = 0;      // file data written by this session, all files
  };
  Progress GetProgress() const;  // any thread

  // Makes the counters of every result code exist, so that a scrape shows
  // them at 0 before the first login (the controller calls it at start).
  static void PrepareMetrics();
  uint32_t peer_address() const { return peer_address_; }
  uint16_t peer_port() const { return peer_port_; }

  // Bytes of file data decoded by any session (the "F:" transfer speed of
  // the process); sessions count them in interactive mode only.
  static void AddDecodedBytes(uint32_t bytes);

  // The millisecond clock of the transfer statistics; null restores the
  // tick count.
  static void SetTickSourceForTesting(uint32_t (*tick)());

 private:
  // The worker's body: handshake, block loop, clean-up.
  void Run();

  // When the time-out of a transfer ends, and its length (for the report).
  struct Deadline {
    uint32_t timeout_ms;
    std::chrono::steady_clock::time_point end;
  };
  static Deadline DeadlineAfter(uint32_t timeout_ms);
  // Makes call(done, milliseconds left, &error) (one send or receive call)
  // until length bytes are done, or reports its failure; false then.
  template <typename Call>
  bool TransferAll(bool sending, size_t length, const Deadline& deadline, Call call);

  // Framing. SendBlock masks the block in place. SendAll: within the send
  // time-out; ReceiveAll: within the receive time-out that applies now, or
  // by deadline.
  bool SendAll(const void* data, size_t length);
  bool ReceiveAll(void* data, size_t length);
  bool ReceiveAll(void* data, size_t length, const Deadline& deadline);
  bool SendBlock(void* block, size_t size);
  bool SendValueBlock(uint32_t command, uint32_t value);
  // Reads one block into the first half of the buffer and unmasks it.
  bool ReceiveBlock();
  void ReportTransferError(bool sending, uint32_t timeout_ms, int error);
  void CountReceivedBytes(size_t length);
  uint32_t ReceiveTimeOut() const;

  // Handshake and login.
  bool SendServerVersion();
  bool ReceiveClientVersion();
  // Dispatches the block in the buffer; false ends the session.
  bool Dispatch();
  bool HandleLogin(uint32_t content_size);
  bool HandlePendingMarker(uint32_t content_size);
  bool HandleClientError(uint32_t block_size, uint32_t content_size);
  bool HandleTaskFinished();
  // File transfer blocks.
  bool HandleFileInfo(uint32_t content_size);
  bool HandleFileData(uint32_t content_size);
  // The part of HandleFileData after the decode: the answer to a failed
  // decode, or the write of the decoded bytes; false ends the session.
  bool CommitFileData(const DecodedBlock& decoded, const uint8_t* decode_area,
                      const DataBlockHead& head);
  bool HandleFileEnd(uint32_t content_size);
  // Takes the processing lock, sending a pending block (value 0) after
  // every failed attempt; false ends the session.
  bool WaitForProcessing();
  // The keep-going function of a file's processing: a pending block
  // (value 1) at most every pending interval; false once a stop is asked.
  bool KeepGoingWhileProcessing();
  // Deletes the device's leftover packages (unless config_table) and
  // leftover config tables below the storage folder.
  void RemoveLeftovers(bool config_table);
  // "Transfering ..." and the other per-file rows of the client list.
  void ShowFileRow(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Sends the error block with code and returns false (the session ends).
  bool SendError(uint32_t code);
  // SendError, counted as the answer to a login or to a file announcement.
  bool RefuseLogin(uint32_t code);
  bool RefuseFile(uint32_t code);
  bool LoggedIn() const { return !position_file_.Records().empty(); }

  uint8_t* content() { return block_ + kBlockHeaderSize; }
  // Whether the data file's outstanding write may still read area.
  bool BeingWritten(const uint8_t* area) const;
  // Room for one decompressed block that neither holds the current block
  // nor is being written: the other half of the buffer, else the spare
  // area (allocated on first need), else the written area once its write
  // is done. Null when that write failed.
  uint8_t* FreeDecodeArea();
  // The first spare area (allocated on first need) that is not `other` and
  // not being written; null when there is none or no memory.
  uint8_t* SpareArea(const uint8_t* other);

  // Decoding ahead. When a compressed block is to be decoded, the next
  // block is arriving already and a pool thread is idle, the block goes to
  // the pool and the loop receives the next one into the other half. That
  // one, if it is compressed file data too, is decoded here meanwhile;
  // then the first is answered or written, and the second handled, as one
  // after the other. Decoding depends on nothing but the block's bytes,
  // and every check that depends on the session's state runs when a block
  // takes effect, so the answers and the file are those of decoding in turn.
  // True when the current block went to the pool.
  bool StartDecodeAhead(std::span<const uint8_t> block, const DataBlockHead& head);
  // With a block decoding ahead: decodes the current block here when it is
  // compressed file data.
  void PredecodeCurrent();
  // Waits for the block decoding ahead and lets it take effect; false ends
  // the session. Called before anything else the next block does, and
  // when the session ends (a block received in full is never dropped).
  bool FinishDecodeAhead();
  static_assert(kBlockBufferSize >= kMaxBlockSize + kMaxOriginSize);
  static_assert(kMaxBlockSize >= kMaxOriginSize);

  // Constant after construction.
  SessionHost& host_;
  const TimeOuts timeouts_;
  const DataFileFactory data_file_factory_;
  // Constant while the worker runs.
  uint32_t peer_address_ = 0;
  uint16_t peer_port_ = 0;

  // The block buffer: a block is received into either half, whichever the
  // data file is not writing from, and decoded into the other half or the
  // spare area. Both outlive data_file_, whose writer may read them.
  std::unique_ptr<uint8_t[]> buffer_;
  // Decode areas beside the halves, allocated on first need. A block
  // decoded in turn may use the first. While a block decodes ahead, it and
  // the next block each take one the data file is not writing from; three
  // leave two such areas whichever one the data file still writes from.
  std::unique_ptr<uint8_t[]> spares_[3];
  uint8_t* block_ = nullptr;          // the current block (one of the halves)
  const uint8_t* written_ = nullptr;  // the area of data_file_'s last WriteAsync

  std::mutex thread_mutex_;  // guards start and stop of worker_
  std::thread worker_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> ending_{false};  // set by the worker before its end notice
  std::atomic<bool> ended_{false};   // set last by the worker
  bool started_ = false;             // under thread_mutex_
  bool self_detached_ = false;       // under thread_mutex_: the worker detached itself at its end

  mutable std::mutex record_mutex_;
  SyncAccountRecord record_{};  // guarded by record_mutex_
  std::string session_key_;     // guarded by record_mutex_; written by the worker only
  std::string progress_file_;   // guarded by record_mutex_; written by the worker only
  // Written by the worker per block (interactive mode only), read by any.
  std::atomic<uint32_t> progress_size_{0};
  std::atomic<uint32_t> progress_done_{0};
  std::atomic<uint64_t> progress_bytes_{0};

  // The worker's own.
  bool handshake_done_ = false;
  bool processing_ = false;         // holds the host's processing lock
  bool error_shown_ = false;        // an error block was sent or received
  int last_error_ = 0;              // error of the last failed socket call; 0 when the peer closed
  uint32_t last_pending_tick_ = 0;  // when the last pending block was sent
  int shown_percent_ = -1;          // of the last progress row; -1 after any other row
  CZvAccountFile position_file_;
  // The file being received; destroyed before position_file_, which it
  // writes to.
  std::unique_ptr<SyncDataFile> data_file_;
  BlockDecoder decoder_;
  // The block decoding ahead in the pool.
  struct AheadBlock {
    bool active = false;
    DecodePool::Job job;
    uint8_t* input = nullptr;   // the half holding the block
    uint8_t* output = nullptr;  // a spare area
    DataBlockHead head;
  } ahead_;
  // The current block, decoded here while the one ahead was decoding.
  struct PredecodedBlock {
    bool valid = false;
    DecodedBlock result;
    uint8_t* area = nullptr;
  } predecoded_;
};

}  // namespace zv
