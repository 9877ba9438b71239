#include "protocol/block.h"

#include <cstdio>
#include <cstring>

#include "util/system_util.h"

namespace zv {

BlockHeader ParseBlockHeader(const void* unmasked_header) {
  const auto* p = static_cast<const uint8_t*>(unmasked_header);
  return BlockHeader{LoadLe32(p), LoadLe32(p + 4), LoadLe32(p + 8)};
}

std::vector<uint8_t> BuildBlock(uint32_t command, const void* content, size_t content_size,
                                uint32_t reserved) {
  if (content_size > kMaxBlockSize - kBlockHeaderSize) throw 0;
  if (content_size != 0 && content == nullptr) throw 0;
  std::vector<uint8_t> block(kBlockHeaderSize + content_size);
  StoreLe32(&block[0], static_cast<uint32_t>(block.size()));
  StoreLe32(&block[4], command);
  StoreLe32(&block[8], reserved);
  if (content_size != 0) std::memcpy(&block[kBlockHeaderSize], content, content_size);
  return block;
}

std::vector<uint8_t> BuildValueBlock(uint32_t command, uint32_t value) {
  uint8_t content[4];
  StoreLe32(content, value);
  return BuildBlock(command, content, sizeof(content));
}

void MaskBlock(void* data, size_t length) { XorBuffer(data, kBlockMask, length); }

std::array<char, kVersionFieldSize> FormatServerVersion(bool with_system_info,
                                                        const std::string& processor_name,
                                                        uint64_t memory_mib) {
  std::array<char, kVersionFieldSize> field{};
  if (with_system_info) {
    char memory[32];
    std::snprintf(memory, sizeof(memory), "%uMB Memory", static_cast<unsigned>(memory_mib));
    std::snprintf(field.data(), field.size(), "%s Build %s %s %s", kServerVersionName,
                  kServerBuildDate, processor_name.empty() ? "Unkonwn" : processor_name.c_str(),
                  memory);
  } else {
    std::snprintf(field.data(), field.size(), "%s Build %s", kServerVersionName, kServerBuildDate);
  }
  field[kVersionFieldSize - 1] = '\0';
  return field;
}

std::array<char, kVersionFieldSize> FormatClientVersion(std::string_view free_text) {
  std::array<char, kVersionFieldSize> field{};
  std::memcpy(field.data(), kClientVersionName, kClientVersionPrefixSize);
  size_t room = kVersionFieldSize - 1 - kClientVersionPrefixSize;
  size_t n = free_text.size() < room ? free_text.size() : room;
  if (n != 0) std::memcpy(field.data() + kClientVersionPrefixSize, free_text.data(), n);
  return field;
}

}  // namespace zv
