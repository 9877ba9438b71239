#include "protocol/result_codes.h"

namespace zv {

const char* ResultCodeName(uint32_t code) {
  static const char* const kNames[] = {
      "NoError",         "UserNotFound",    "WrongPassword",  "ServerBusy",
      "ServerDiskFull",  "MultipleLogin",   "DataError",      "Unauthenticated",
      "UnfinishedTransation", "UnknownFileInfo", "UncompressError", "UnknownFileType",
      "FileCompleted",   "FileUnCompleted", "FileCrcUnmatched", "FileError",
      "ProcessError",
  };
  return code < sizeof(kNames) / sizeof(kNames[0]) ? kNames[code] : "Unknown";
}

}  // namespace zv
