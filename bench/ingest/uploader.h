// Uploader: the appliance's side of one file upload, on an ApplianceClient
// that is connected and logged in: announce the file, stream its data
// blocks, wait until the server has stored them, send the file end and wait
// for the confirmation (answering nothing to the pending blocks the server
// sends while it processes the file).
//
// "Stored" is observed with the echo marker: the server handles blocks of a
// session in order, so its echo of a marker sent behind the last data block
// arrives only after that block was decoded, written and flushed to disk
// (the data file flushes and closes at its last byte).
//
// One object per upload; used by one thread.
#pragma once

#include <cstdint>
#include <string>

#include "client/appliance_client.h"
#include "upload_blocks.h"

namespace zv::bench {

class Uploader {
 public:
  Uploader(ApplianceClient* client, const UploadBlocks& blocks, Method method)
      : client_(client), blocks_(blocks), method_(method) {}

  // Sends the file announcement offering offset, then reads the file
  // request. False (see error()) on a refusal or a broken connection.
  [[nodiscard]] bool Announce(const std::string& file_name, uint32_t file_type,
                              uint64_t offered_offset);
  // Sends the data from offset up to (not including) end_offset rounded up
  // to a block end; end_offset = size() sends the rest of the file.
  [[nodiscard]] bool SendData(uint64_t offset, uint64_t end_offset);
  // Sends the echo marker and waits for its echo.
  [[nodiscard]] bool WaitStored();
  // Sends the file end with the file's CRC and waits for the confirmation.
  [[nodiscard]] bool Finish();

  const std::string& error() const { return error_; }
  // The result code of the server's error block, 0 when none came.
  uint32_t refusal_code() const { return refusal_code_; }
  // Bytes of file data sent so far.
  uint64_t data_sent() const { return data_sent_; }

 private:
  // Reads the next block, skipping the server's pending blocks (values 0
  // and 1); records an error block.
  bool ReadAnswer(uint32_t expected_command, uint32_t expected_value);
  bool Fail(const std::string& what);

  ApplianceClient* client_;
  const UploadBlocks& blocks_;
  Method method_;
  std::string error_;
  uint32_t refusal_code_ = 0;
  uint64_t data_sent_ = 0;
};

}  // namespace zv::bench
