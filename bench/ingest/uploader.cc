#include "uploader.h"

#include <cstring>

#include "protocol/block.h"
#include "protocol/result_codes.h"

namespace zv::bench {

bool Uploader::Fail(const std::string& what) {
  error_ = what;
  if (!client_->last_error().empty()) error_ += ": " + client_->last_error();
  return false;
}

bool Uploader::ReadAnswer(uint32_t expected_command, uint32_t expected_value) {
  for (;;) {
    ReceivedBlock block;
    IoStatus status = client_->ReceiveBlock(&block);
    if (status != IoStatus::kOk) {
      return Fail(status == IoStatus::kTimedOut ? "no answer within the time-out"
                                                : "connection ended");
    }
    if (block.command == kCmdError) {
      refusal_code_ = block.Value();
      return Fail("refused with code " + std::to_string(refusal_code_) + " (" +
                  ResultCodeName(refusal_code_) + ")");
    }
    if (block.command == kCmdPending && block.Value() != kPendingEcho &&
        !(expected_command == kCmdPending && block.Value() == expected_value)) {
      continue;  // the server waits for or runs the processing
    }
    if (block.command != expected_command || block.Value() != expected_value) {
      return Fail("unexpected block " + std::to_string(block.command) + " value " +
                  std::to_string(block.Value()));
    }
    return true;
  }
}

bool Uploader::Announce(const std::string& file_name, uint32_t file_type,
                        uint64_t offered_offset) {
  ClientFileInfoBlock info{};
  std::strncpy(info.fileName, file_name.c_str(), sizeof(info.fileName) - 1);
  info.fileType = file_type;
  info.fileSize = static_cast<uint32_t>(blocks_.size());
  info.offeredOffset = static_cast<uint32_t>(offered_offset);
  if (!client_->SendBlock(kCmdFileInfo, &info, sizeof(info))) return Fail("announce not sent");
  return ReadAnswer(kCmdFileRequest, 0);
}

bool Uploader::SendData(uint64_t offset, uint64_t end_offset) {
  if (offset >= blocks_.size()) return true;
  size_t i = blocks_.BlockAt(offset);
  if (offset != blocks_.BlockOffset(i)) {
    // A resume inside a block: the rest of that block goes stored.
    if (!blocks_.SendPartial(client_, offset)) return Fail("data block not sent");
    data_sent_ += blocks_.BlockOffset(i) + blocks_.BlockLength(i) - offset;
    ++i;
  }
  for (; i < blocks_.block_count() && blocks_.BlockOffset(i) < end_offset; ++i) {
    if (!blocks_.SendBlock(client_, i, method_)) return Fail("data block not sent");
    data_sent_ += blocks_.BlockLength(i);
  }
  return true;
}

bool Uploader::WaitStored() {
  if (!client_->SendPendingMarker(kPendingEcho)) return Fail("marker not sent");
  return ReadAnswer(kCmdPending, kPendingEcho);
}

bool Uploader::Finish() {
  uint8_t crc[4];
  StoreLe32(crc, blocks_.FileCrc());
  if (!client_->SendBlock(kCmdFileEnd, crc, sizeof(crc))) return Fail("file end not sent");
  return ReadAnswer(kCmdConfirm, 0);
}

}  // namespace zv::bench
