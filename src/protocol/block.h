// The block framing of the sync protocol, shared by the server's sessions
// and the appliance client.
//
// After the two 256-byte version texts every message is a block: a 12-byte
// header (size, command, reserved; little-endian u32 each) followed by
// size - 12 bytes of content. Every byte of a block, header included, is
// XORed with kBlockMask on the wire. A block is at most kMaxBlockSize bytes
// long; a declared size of 12 or less (also below 12) is a block without
// content.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zv {

inline constexpr uint8_t kBlockMask = 0xA7;
inline constexpr uint32_t kBlockHeaderSize = 12;
inline constexpr uint32_t kMaxBlockSize = 0x400400;
// A session's buffer: the received block, then room for decompressed data.
inline constexpr uint32_t kBlockBufferSize = 2 * kMaxBlockSize;

// Version texts: raw (unmasked) 256-byte fields exchanged before any block.
inline constexpr size_t kVersionFieldSize = 256;
inline constexpr const char kServerVersionName[] = "Korvane ZVSync Server V3.2";
inline constexpr const char kServerBuildDate[] = "Dec 16 2010";
inline constexpr const char kClientVersionName[] = "Korvane ZVSync Client V3.2";
// The part of the client's text that must match kClientVersionName.
inline constexpr size_t kClientVersionPrefixSize = sizeof(kClientVersionName) - 1;
static_assert(kClientVersionPrefixSize == 26);

enum BlockCommand : uint32_t {
  kCmdLogin = 0,          // client: ClientAuthBlock
  kCmdServerConfig = 1,   // server: SyncAccountRecord
  kCmdFileInfo = 2,       // client: ClientFileInfoBlock
  kCmdPending = 3,        // both: u32 marker / pending value
  kCmdFileRequest = 4,    // server: u32 0
  kCmdFileData = 5,       // client: ClientFileDataBlock
  kCmdConfirm = 6,        // server: u32 0
  kCmdError = 7,          // server: u32 result code, detail
  kCmdClientError = 8,    // client: u32 code, NUL-terminated text
  kCmdFileEnd = 9,        // client: u32 CRC-32 of the file
  kCmdTaskFinished = 10,  // client: no content
};

// Pending values the server sends, and the marker a client sends to get an
// echo ("jjjj").
inline constexpr uint32_t kPendingWaiting = 0;
inline constexpr uint32_t kPendingProcessing = 1;
inline constexpr uint32_t kPendingEcho = 0x6A6A6A6A;

// Content sizes the handlers require.
inline constexpr uint32_t kClientAuthBlockSize = 56;
inline constexpr uint32_t kClientFileInfoBlockSize = 80;
inline constexpr uint32_t kFileDataHeaderSize = 13;  // data blocks need more than 12
inline constexpr uint32_t kServerConfigBlockSize = kBlockHeaderSize + 5094;
inline constexpr uint32_t kErrorBlockSize = 16;

#pragma pack(push, 1)
struct BlockHeader {
  uint32_t size;
  uint32_t command;
  uint32_t reserved;
};

// Content of a file announcement (command 2).
struct ClientFileInfoBlock {
  char fileName[64];      // byte 63 forced to NUL on receipt
  uint32_t fileType;      // 0 log table, 1 config table, 2 attachment package
  uint32_t fileSize;      // must not be 0
  uint32_t unused;        // not read by the server
  uint32_t offeredOffset; // where the client starts sending
};

// Head of the content of a file data block (command 5); the data follow.
struct ClientFileDataHeader {
  uint32_t offeredOffset;  // 0xFFFFFFFF: unchecked
  uint32_t originSize;     // bytes after decompression, 1 to kMaxBlockSize
  uint32_t unused;
  uint8_t method;          // 0 stored, 1 LZO1B, 2 LZMA
};
#pragma pack(pop)
static_assert(sizeof(BlockHeader) == kBlockHeaderSize);
static_assert(sizeof(ClientFileInfoBlock) == kClientFileInfoBlockSize);
static_assert(sizeof(ClientFileDataHeader) == kFileDataHeaderSize);

inline uint32_t LoadLe32(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

inline void StoreLe32(void* p, uint32_t v) {
  auto* b = static_cast<uint8_t*>(p);
  b[0] = static_cast<uint8_t>(v);
  b[1] = static_cast<uint8_t>(v >> 8);
  b[2] = static_cast<uint8_t>(v >> 16);
  b[3] = static_cast<uint8_t>(v >> 24);
}

// Decoded header fields of an unmasked block.
BlockHeader ParseBlockHeader(const void* unmasked_header);

// Content length of a block whose header declares size (0 for size <= 12).
inline uint32_t BlockContentSize(uint32_t size) {
  return size > kBlockHeaderSize ? size - kBlockHeaderSize : 0;
}

// An unmasked block: header (size = 12 + content length) and content.
std::vector<uint8_t> BuildBlock(uint32_t command, const void* content, size_t content_size,
                                uint32_t reserved = 0);
// The same with a block of 12 + 4 bytes carrying one u32.
std::vector<uint8_t> BuildValueBlock(uint32_t command, uint32_t value);

// XORs every byte with kBlockMask, in place (masks and unmasks alike).
void MaskBlock(void* data, size_t length);

// The server's 256-byte version field: "%s Build %s", or with system
// information "%s Build %s %s %uMB Memory" (processor name, "Unkonwn"
// when empty). Byte 255 is always 0.
std::array<char, kVersionFieldSize> FormatServerVersion(bool with_system_info,
                                                        const std::string& processor_name,
                                                        uint64_t memory_mib);

// The client's 256-byte version field: kClientVersionName followed by
// free_text (cut to fit; byte 255 is 0).
std::array<char, kVersionFieldSize> FormatClientVersion(std::string_view free_text);

}  // namespace zv
