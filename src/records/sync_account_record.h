// SyncAccountRecord: the 5094-byte record of one account, the unit of the
// account file and of every position file, the content of the server
// configuration block and of the sync-state reports. Little-endian, packed,
// text fields NUL-terminated within their width and zero-padded. Fields the
// server does not interpret are carried unchanged.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zv {

#pragma pack(push, 1)

// One log-table kind's transfer position (84 bytes).
struct LogTableSlot {
  char name[64];           // current file, "%04u%02u%02u_%02u%02u_%08X_%s.dat"
  uint32_t policyValue;    // the account's value for this kind; not interpreted
  uint32_t storedBytes;    // bytes of name written and flushed
  uint32_t announcedSize;  // size the client announced for name
  uint32_t runningCrc;     // CRC-32 of the storedBytes bytes
  uint32_t reserved;       // 0 in new slots
};

#pragma pack(pop)

// Log slots 0..13 are in use; their kinds in slot order.
inline constexpr int kUsedLogSlots = 14;
inline constexpr const char* kLogSlotKinds[kUsedLogSlots] = {
    "A", "U", "M", "C", "P", "O", "F", "S", "I", "W", "T", "oprlog", "Q", "X"};

#pragma pack(push, 1)

// One imported configuration table (68 bytes).
struct ConfigTableSlot {
  uint32_t nameKey;        // CRC-32 of the table name with its NUL; 0 = free
  char contentToken[64];   // 32-character token of the last imported file
};

struct SyncAccountRecord {
  char userName[20];             // 0x0000
  char password[20];             // 0x0014
  char storageName[32];          // 0x0028
  uint32_t deviceId;             // 0x0048
  uint32_t clientValue1;         // 0x004C  login block value 1
  uint32_t clientValue2;         // 0x0050  login block value 2
  uint32_t loginAddress;         // 0x0054  IPv4, network byte order
  uint8_t consoleData[28];       // 0x0058
  uint8_t byte74;                // 0x0074
  uint8_t inUse;                 // 0x0075  1 at login; sync-state "in use"
  uint16_t word76;               // 0x0076
  uint32_t dword78;              // 0x0078
  uint16_t recordRevision;       // 0x007C
  uint16_t compressLevel;        // 0x007E  only in the copy sent to a client
  uint32_t dword80;              // 0x0080
  uint8_t bytes84[4];            // 0x0084
  uint16_t baseYear;             // 0x0088
  uint8_t baseMonth;             // 0x008A
  uint8_t baseDay;               // 0x008B
  uint8_t syncSchedule[6];       // 0x008C  four u8 and one u16
  uint32_t dwords92[5];          // 0x0092
  LogTableSlot logSlots[32];     // 0x00A6
  ConfigTableSlot configSlots[32];  // 0x0B26
  uint8_t tail[64];              // 0x13A6
};

#pragma pack(pop)

static_assert(sizeof(LogTableSlot) == 84);
static_assert(sizeof(ConfigTableSlot) == 68);
static_assert(sizeof(SyncAccountRecord) == 5094);
static_assert(offsetof(SyncAccountRecord, password) == 0x14);
static_assert(offsetof(SyncAccountRecord, storageName) == 0x28);
static_assert(offsetof(SyncAccountRecord, deviceId) == 0x48);
static_assert(offsetof(SyncAccountRecord, loginAddress) == 0x54);
static_assert(offsetof(SyncAccountRecord, inUse) == 0x75);
static_assert(offsetof(SyncAccountRecord, recordRevision) == 0x7C);
static_assert(offsetof(SyncAccountRecord, compressLevel) == 0x7E);
static_assert(offsetof(SyncAccountRecord, baseYear) == 0x88);
static_assert(offsetof(SyncAccountRecord, syncSchedule) == 0x8C);
static_assert(offsetof(SyncAccountRecord, dwords92) == 0x92);
static_assert(offsetof(SyncAccountRecord, logSlots) == 0xA6);
static_assert(offsetof(SyncAccountRecord, configSlots) == 0xB26);
static_assert(offsetof(SyncAccountRecord, tail) == 0x13A6);

inline constexpr size_t kRecordSize = sizeof(SyncAccountRecord);

}  // namespace zv
