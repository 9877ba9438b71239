// The appliance client's pieces that need no server: block contents
// against bytes written out by hand, the encoder against the server's
// decoder, resume offsets, file types by name, and the sample files.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstring>
#include <map>
#include <random>
#include <sstream>

#include "client/appliance_client.h"
#include "client/block_encoder.h"
#include "client/sample_files.h"
#include "datafiles/sync_position.h"
#include "protocol/block_decoder.h"
#include "test_util.h"

extern char** environ;

namespace zv {
namespace {

std::vector<uint8_t> Text(size_t size, uint32_t seed) {
  std::vector<uint8_t> data(size);
  std::mt19937 random(seed);
  for (uint8_t& b : data) b = static_cast<uint8_t>('a' + random() % 6);
  return data;
}

TEST(BlockEncoderTest, DataBlockContentLayout) {
  const uint8_t payload[] = {'a', 'b'};
  std::vector<uint8_t> content = BuildDataBlockContent(0x01020304, 5, 1, payload);
  const std::vector<uint8_t> expected = {0x04, 0x03, 0x02, 0x01, 0x05, 0x00, 0x00, 0x00,
                                         0x00, 0x00, 0x00, 0x00, 0x01, 'a',  'b'};
  EXPECT_EQ(content, expected);
}

TEST(BlockEncoderTest, EveryMethodDecodesWithTheServersDecoder) {
  BlockEncoder encoder;
  BlockDecoder decoder;
  std::vector<uint8_t> output(kMaxOriginSize);
  for (Compression method : {Compression::kStored, Compression::kLzo, Compression::kLzma}) {
    for (size_t size : {size_t{1}, size_t{1000}, size_t{1} << 20}) {
      SCOPED_TRACE(static_cast<int>(method));
      SCOPED_TRACE(size);
      std::vector<uint8_t> data = Text(size, static_cast<uint32_t>(size));
      std::vector<uint8_t> content;
      ASSERT_TRUE(encoder.Encode(data, 4096, method, &content));
      EXPECT_EQ(content[12], static_cast<uint8_t>(method));
      DataBlockHead head;
      ASSERT_TRUE(BlockDecoder::ParseHead(content, &head));
      EXPECT_EQ(head.offered_offset, 4096u);
      EXPECT_EQ(head.origin_size, size);
      DecodedBlock decoded = decoder.Decode(content, output);
      ASSERT_TRUE(decoded.ok()) << decoded.code;
      EXPECT_EQ(std::vector<uint8_t>(decoded.data, decoded.data + decoded.length), data);
    }
  }
}

TEST(BlockEncoderTest, LargestOriginSizeCompressesIntoOneBlock) {
  BlockEncoder encoder;
  BlockDecoder decoder;
  std::vector<uint8_t> output(kMaxOriginSize);
  std::vector<uint8_t> data = Text(BlockEncoder::kMaxOriginSize, 3);
  std::vector<uint8_t> content;
  ASSERT_TRUE(encoder.Encode(data, 0, Compression::kLzo, &content));
  EXPECT_LE(content.size(), 0x400400u - 12);
  ASSERT_TRUE(decoder.Decode(content, output).ok());
  // Stored, it does not fit: the caller splits it.
  EXPECT_FALSE(encoder.Encode(data, 0, Compression::kStored, &content));
  std::vector<uint8_t> largest(BlockEncoder::kMaxStoredPiece, 'x');
  EXPECT_TRUE(encoder.Encode(largest, 0, Compression::kStored, &content));
  EXPECT_EQ(content.size(), 0x400400u - 12);
}

TEST(BlockEncoderTest, EmptyAndOversizedPiecesAreRefused) {
  BlockEncoder encoder;
  std::vector<uint8_t> content;
  EXPECT_FALSE(encoder.Encode({}, 0, Compression::kStored, &content));
  std::vector<uint8_t> too_large(BlockEncoder::kMaxOriginSize + 1, 'x');
  EXPECT_FALSE(encoder.Encode(too_large, 0, Compression::kLzo, &content));
}

SyncAccountRecord RecordWithSlot(int index, const char* name, uint32_t stored, uint32_t announced) {
  SyncAccountRecord record;
  std::memset(&record, 0, sizeof(record));
  std::strcpy(record.logSlots[index].name, name);
  record.logSlots[index].storedBytes = stored;
  record.logSlots[index].announcedSize = announced;
  return record;
}

TEST(ResumeOffsetTest, OnlyAnUnfinishedSlotOfTheSameFileResumes) {
  const char* name = "20101216_1530_00A1B2C3_U.dat";
  EXPECT_EQ(ResumeOffset(RecordWithSlot(1, name, 4096, 10000), name, 0, 10000), 4096u);
  // Another size, another file, a finished file, a config table.
  EXPECT_EQ(ResumeOffset(RecordWithSlot(1, name, 4096, 10000), name, 0, 10001), 0u);
  EXPECT_EQ(
      ResumeOffset(RecordWithSlot(1, "20101215_1530_00A1B2C3_U.dat", 4096, 10000), name, 0, 10000),
      0u);
  EXPECT_EQ(ResumeOffset(RecordWithSlot(1, name, 10000, 10000), name, 0, 10000), 0u);
  EXPECT_EQ(ResumeOffset(RecordWithSlot(1, name, 4096, 10000), name, 1, 10000), 0u);
  // The slot of the kind decides: kind U is slot 1, not slot 0.
  EXPECT_EQ(ResumeOffset(RecordWithSlot(0, name, 4096, 10000), name, 0, 10000), 0u);
  EXPECT_EQ(ResumeOffset(RecordWithSlot(1, name, 4096, 10000), "not a data file", 0, 10000), 0u);
}

TEST(FileTypeOfNameTest, TypesByName) {
  EXPECT_EQ(FileTypeOfName(std::string(32, 'a') + "_00A1B2C3_users.dat"), 1u);
  EXPECT_EQ(FileTypeOfName(std::string(31, 'a') + "_00A1B2C3_users.dat"), 0u);
  EXPECT_EQ(FileTypeOfName("20101216_1530_00A1B2C3_X.dat"), 2u);
  EXPECT_EQ(FileTypeOfName("20101216_1530_00A1B2C3_A.dat"), 0u);
  EXPECT_EQ(FileTypeOfName("20101216_1530_00A1B2C3_oprlog.dat"), 0u);
}

// Splits a table file into rows of fields.
std::vector<std::vector<std::string>> Rows(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
      fields.push_back(line.substr(start, tab - start));
    }
    fields.push_back(line.substr(start));
    rows.push_back(fields);
  }
  return rows;
}

TEST(SampleFilesTest, TablesHaveAHeaderAndEvenRows) {
  SampleFiles samples("shop1", 0x00A1B2C3, "20101216");
  for (const std::string& table :
       {samples.ConfigTable(), samples.LogTableA(), samples.LogTableU(), samples.OprLog()}) {
    ASSERT_FALSE(table.empty());
    EXPECT_EQ(table.back(), '\n');
    EXPECT_EQ(table.find('\r'), std::string::npos);
    std::vector<std::vector<std::string>> rows = Rows(table);
    ASSERT_GT(rows.size(), 1u);
    for (const std::string& column : rows[0]) EXPECT_TRUE(IsPlainIdentifier(column)) << column;
    for (const auto& row : rows) EXPECT_EQ(row.size(), rows[0].size());
  }
  std::vector<std::vector<std::string>> oprlog = Rows(samples.OprLog());
  EXPECT_EQ(oprlog[0][0], "record_time");
  EXPECT_EQ(oprlog[1][0], "2010-12-16 08:00:00");
}

TEST(SampleFilesTest, NamesFollowTheirKinds) {
  SampleFiles samples("shop1", 0x00A1B2C3, "20101216");
  const std::string config = samples.ConfigTableName();
  EXPECT_EQ(config.size(), 32u + 19u);
  EXPECT_EQ(config.substr(32), "_00A1B2C3_users.dat");
  EXPECT_EQ(FileTypeOfName(config), 1u);
  EXPECT_EQ(samples.LogTableName("A"), "20101216_1530_00A1B2C3_A.dat");
  EXPECT_EQ(samples.PackageName(), "20101216_1530_00A1B2C3_X.dat");
}

TEST(SampleFilesTest, PackageHoldsTheDaysFiles) {
  SampleFiles samples("shop1", 0x00A1B2C3, "20101216");
  const std::string package = samples.AttachmentPackage();
  ASSERT_FALSE(package.empty());
  archive* reader = archive_read_new();
  archive_read_support_format_tar(reader);
  ASSERT_EQ(archive_read_open_memory(reader, package.data(), package.size()), ARCHIVE_OK);
  std::map<std::string, std::string> found;
  archive_entry* entry = nullptr;
  while (archive_read_next_header(reader, &entry) == ARCHIVE_OK) {
    std::string content(static_cast<size_t>(archive_entry_size(entry)), '\0');
    if (!content.empty()) archive_read_data(reader, content.data(), content.size());
    found[archive_entry_pathname(entry)] = content;
  }
  archive_read_free(reader);
  std::map<std::string, std::string> expected;
  for (const auto& [path, content] : samples.PackageEntries()) expected[path] = content;
  EXPECT_EQ(found, expected);
  EXPECT_EQ(found.count("actrace/20101216/trace_0001.txt"), 1u);
  EXPECT_EQ(found.count("ips/20101216/alert_0001.log"), 1u);
}

int RunZvclient(std::vector<std::string> args) {
  args.insert(args.begin(), ::zv::testing::ProgramDirectory() + "/zvclient");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(ZvclientGenerateTest, WritesTheFiveFiles) {
  ::zv::testing::ScopedTempDir dir;
  ASSERT_EQ(RunZvclient({"generate", "--storage", "shop1", "--device", "a1b2c3", "--date",
                         "20101216", "--out", dir.Sub("out")}),
            0);
  SampleFiles samples("shop1", 0x00A1B2C3, "20101216");
  EXPECT_EQ(::zv::testing::ReadFileBytes(dir.Sub("out/" + samples.ConfigTableName())),
            samples.ConfigTable());
  EXPECT_EQ(::zv::testing::ReadFileBytes(dir.Sub("out/" + samples.LogTableName("oprlog"))),
            samples.OprLog());
  EXPECT_EQ(::zv::testing::ReadFileBytes(dir.Sub("out/" + samples.PackageName())).size(),
            samples.AttachmentPackage().size());
}

TEST(ZvclientGenerateTest, UsageErrors) {
  ::zv::testing::ScopedTempDir dir;
  EXPECT_EQ(RunZvclient({"generate", "--storage", "s", "--device", "1", "--date", "2010121",
                         "--out", dir.path()}),
            64);
  EXPECT_EQ(RunZvclient({"generate", "--storage", "s", "--device", "xyz", "--date", "20101216",
                         "--out", dir.path()}),
            64);
  EXPECT_EQ(RunZvclient({"upload", "--user", "u", "--password", "p", "--device", "1", "--compress",
                         "zip", "file"}),
            64);
  EXPECT_EQ(RunZvclient({"upload", "--user", "u", "--password", "p", "--device", "1",
                         "--block-size", "4195329", "file"}),
            64);
  EXPECT_EQ(RunZvclient({"upload", "--user", "u", "--password", "p", "--device", "1"}), 64);
}

}  // namespace
}  // namespace zv
