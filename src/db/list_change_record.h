// ListChangeRecord: what the importer's LoadLogTable knows about each
// storage's file list from its earlier runs, so that a run opens only the
// lists that may hold entries waiting to be loaded instead of every list
// below the data directory.
//
// For each storage whose list held nothing waiting once a run was done
// with it, the record keeps the list's identity and change stamps as they
// were before that run opened it: device, inode, size, modification and
// change time (nanoseconds). A later run looks at the list (one stat) and
// skips it only when all five are the same. Any write to the list — the
// server's append, the importer's own bookkeeping, a copy put in its
// place — changes its change time, which no program can set back, so a
// list that changed is never skipped. A list is recorded only when its
// change time lies clearly before the moment it was looked at (more than
// the file system's time-stamp step and the kernel's clock tick): a write
// in the same tick as that look could otherwise leave the stamp as it was.
// A storage that still has entries waiting (the database did not answer)
// is never recorded, so the next run tries them again.
//
// The record is a text file in the data directory with a CRC over its
// content, written to a temporary file and renamed over the old one. It
// needs no sync: a record that is lost, old, cut short or damaged only
// makes a run open more lists (each entry was true when it was written,
// and an old entry no longer matches a list changed since), and a file that
// does not check is ignored whole. It names the data directory it
// describes, and is ignored when read for another.
//
// One object per LoadLogTable run, used by one thread.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <string>

namespace zv {

class ListChangeRecord {
 public:
  // The record's file name in the data directory.
  static constexpr const char* kFileName = "LoadLogTable.lists";

  explicit ListChangeRecord(std::string data_path);

  // Reads the record of the last run; a missing or damaged file, or one
  // for another data directory, gives an empty record. Returns whether one
  // was read.
  bool Load();

  // Whether the list of storage, as st shows it now, is what was recorded:
  // nothing to load there.
  bool Unchanged(const std::string& storage, const struct stat& st) const;
  // Carries the storage's entry over to the record this run writes.
  void Keep(const std::string& storage);
  // The list, as st showed it when it was looked at (looked_at_ns: the
  // real-time clock read just before that stat), held nothing waiting once
  // this run was done with it. Ignored when the list's change time is too
  // close to that moment to be trusted.
  void Settled(const std::string& storage, const struct stat& st, int64_t looked_at_ns);

  // Writes what this run kept and settled (unless that is what a good file
  // held already). False when the file could not be written; nothing
  // depends on it.
  bool Save() const;

  // The real-time clock in nanoseconds, as Settled expects it.
  static int64_t Now();

 private:
  struct Stamp {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t modified_ns = 0;
    int64_t changed_ns = 0;
    bool operator==(const Stamp&) const = default;
  };
  static Stamp StampOf(const struct stat& st);

  std::string Serialize() const;

  const std::string data_path_;
  bool read_ = false;                      // a good file was read
  std::map<std::string, Stamp> previous_;  // read from the file
  std::map<std::string, Stamp> next_;      // to be written
};

}  // namespace zv
