#include "platform/settings_store.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "test_util.h"

namespace zv {
namespace {

using testing::ReadFileBytes;
using testing::ScopedEnv;
using testing::ScopedTempDir;
using testing::WriteFileBytes;

constexpr char kHeader[] =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Korvane\\Zentrovane]\n";

class SettingsStoreTest : public ::testing::Test {
 protected:
  std::string Path() const { return dir_.Sub("config/registry.reg"); }
  std::unique_ptr<SettingsStore> OpenStore() {
    auto store = SettingsStore::Open(Path());
    EXPECT_NE(store, nullptr);
    return store;
  }

  ScopedTempDir dir_;
};

TEST_F(SettingsStoreTest, OpenCreatesFileWithKeyHeader) {
  auto store = OpenStore();
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->path(), Path());
  EXPECT_EQ(ReadFileBytes(Path()), std::string(kHeader) + "\n");
  EXPECT_FALSE(store->ReadDword("SyncPort").has_value());
}

TEST_F(SettingsStoreTest, WrittenValuesHaveTheExportLayout) {
  auto store = OpenStore();
  ASSERT_TRUE(store->WriteDword("SyncPort", 810));
  ASSERT_TRUE(store->WriteString("PendingDeleteDate", "20101115 $ALL$ $ALL$;"));
  ASSERT_TRUE(store->WriteString("Quoted", "a\"b\\c"));
  ASSERT_TRUE(store->WriteMultiString("DependOnService", {"Ko", "M"}));
  EXPECT_EQ(ReadFileBytes(Path()),
            std::string(kHeader) +
                "\"SyncPort\"=dword:0000032a\n"
                "\"PendingDeleteDate\"=\"20101115 $ALL$ $ALL$;\"\n"
                "\"Quoted\"=\"a\\\"b\\\\c\"\n"
                "\"DependOnService\"=hex(7):4b,00,6f,00,00,00,4d,00,00,00,00,00\n"
                "\n");
}

TEST_F(SettingsStoreTest, TypedValuesRoundTrip) {
  auto store = OpenStore();
  ASSERT_TRUE(store->WriteDword("LogLevel", 0xFFFFFFFFu));
  ASSERT_TRUE(store->WriteString("FilePath", "/data/attach ment"));
  ASSERT_TRUE(store->WriteString("Empty", ""));
  ASSERT_TRUE(store->WriteMultiString("List", {"eins", "zwei", "同步器"}));
  EXPECT_EQ(store->ReadDword("LogLevel"), 0xFFFFFFFFu);
  EXPECT_EQ(store->ReadString("FilePath"), "/data/attach ment");
  EXPECT_EQ(store->ReadString("Empty"), "");
  EXPECT_EQ(store->ReadMultiString("List"), (std::vector<std::string>{"eins", "zwei", "同步器"}));
}

TEST_F(SettingsStoreTest, ValueOfAnotherTypeReadsAsAbsent) {
  auto store = OpenStore();
  ASSERT_TRUE(store->WriteString("SyncPort", "810"));
  EXPECT_FALSE(store->ReadDword("SyncPort").has_value());
  EXPECT_FALSE(store->ReadMultiString("SyncPort").has_value());
  EXPECT_EQ(store->ReadString("SyncPort"), "810");
  // Writing the DWORD replaces the string value.
  ASSERT_TRUE(store->WriteDword("SyncPort", 810));
  EXPECT_EQ(store->ReadDword("SyncPort"), 810u);
  EXPECT_FALSE(store->ReadString("SyncPort").has_value());
  EXPECT_EQ(ReadFileBytes(Path()), std::string(kHeader) + "\"SyncPort\"=dword:0000032a\n\n");
}

TEST_F(SettingsStoreTest, ParsesHandWrittenFile) {
  WriteFileBytes(Path(),
                 "Windows Registry Editor Version 5.00\r\n"
                 "\r\n"
                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Zentrovane]\r\n"
                 "\"SyncPort\"=dword:0000032A\r\n"
                 "\"Path\"=\"C:\\\\Program Files\\\\\\\"Zv\\\"\"\r\n"
                 "\"Deps\"=hex(7):4b,00,6f,00,72,00,00,00,41,00,\\\r\n"
                 "  42,00,00,00,00,00\r\n"
                 "\"Short\"=dword:1f\r\n"
                 "\"Wide\"=hex(1):41,00,0a,00,42,00,00,00\r\n"
                 "\"AsHex4\"=hex(4):2a,03,00,00\r\n"
                 "\"Bad\"=dword:xyz\r\n"
                 "@=\"default\"\r\n"
                 "\r\n"
                 "[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n"
                 "\"Elsewhere\"=dword:00000001\r\n");
  auto store = OpenStore();
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->ReadDword("SyncPort"), 0x32Au);
  EXPECT_EQ(store->ReadDword("syncport"), 0x32Au);  // names ignore case
  EXPECT_EQ(store->ReadString("Path"), "C:\\Program Files\\\"Zv\"");
  EXPECT_EQ(store->ReadMultiString("Deps"), (std::vector<std::string>{"Kor", "AB"}));
  EXPECT_EQ(store->ReadDword("Short"), 0x1Fu);
  EXPECT_EQ(store->ReadString("Wide"), "A\nB");
  EXPECT_EQ(store->ReadDword("AsHex4"), 810u);
  EXPECT_FALSE(store->ReadDword("Bad").has_value());
  EXPECT_EQ(store->ReadString(""), "default");
  // Values of another key are not ours.
  EXPECT_FALSE(store->ReadDword("Elsewhere").has_value());
}

TEST_F(SettingsStoreTest, WriteChangesOnlyItsOwnLine) {
  const std::string before =
      "Windows Registry Editor Version 5.00\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Other]\n"
      "\"A\"=dword:00000001\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Korvane\\Zentrovane]\n"
      "\"SyncPort\"=dword:0000032a\n"
      "; a comment the operator wrote\n"
      "\"UIPort\"=dword:0000032c\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Third]\n"
      "\"B\"=\"x\"\n";
  WriteFileBytes(Path(), before);
  auto store = OpenStore();
  ASSERT_TRUE(store->WriteDword("SyncPort", 811));
  ASSERT_TRUE(store->WriteDword("New", 1));
  ASSERT_TRUE(store->DeleteValue("UIPort"));
  EXPECT_EQ(ReadFileBytes(Path()),
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Other]\n"
            "\"A\"=dword:00000001\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Korvane\\Zentrovane]\n"
            "\"SyncPort\"=dword:0000032b\n"
            "; a comment the operator wrote\n"
            "\"New\"=dword:00000001\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Third]\n"
            "\"B\"=\"x\"\n");
  EXPECT_FALSE(store->ReadDword("UIPort").has_value());
}

TEST_F(SettingsStoreTest, MissingKeySectionIsAppended) {
  WriteFileBytes(Path(), "Windows Registry Editor Version 5.00\n");
  auto store = OpenStore();
  ASSERT_TRUE(store->WriteDword("SyncPort", 810));
  EXPECT_EQ(ReadFileBytes(Path()), std::string(kHeader) + "\"SyncPort\"=dword:0000032a\n\n");
}

TEST_F(SettingsStoreTest, LineBreakInStringSurvives) {
  auto store = OpenStore();
  ASSERT_TRUE(store->WriteString("Text", "line one\r\nline \"two\""));
  ASSERT_TRUE(store->WriteDword("After", 7));
  EXPECT_EQ(store->ReadString("Text"), "line one\r\nline \"two\"");
  EXPECT_EQ(store->ReadDword("After"), 7u);
  std::string file = ReadFileBytes(Path());
  EXPECT_NE(file.find("\"Text\"=hex(1):6c,00,"), std::string::npos);
}

TEST_F(SettingsStoreTest, LongHexValueIsWrappedAndReadBack) {
  auto store = OpenStore();
  std::vector<std::string> items;
  for (int i = 0; i < 40; ++i) items.push_back("Service" + std::to_string(i));
  ASSERT_TRUE(store->WriteMultiString("DependOnService", items));
  ASSERT_TRUE(store->WriteDword("Next", 1));
  EXPECT_EQ(store->ReadMultiString("DependOnService"), items);
  EXPECT_EQ(store->ReadDword("Next"), 1u);
  std::string file = ReadFileBytes(Path());
  EXPECT_NE(file.find(",\\\n  "), std::string::npos);
}

TEST_F(SettingsStoreTest, NameWithLineBreakIsRefused) {
  auto store = OpenStore();
  EXPECT_FALSE(store->WriteDword("Bad\nName", 1));
  EXPECT_EQ(ReadFileBytes(Path()), std::string(kHeader) + "\n");
}

TEST_F(SettingsStoreTest, UnreadableFolderFailsToOpen) {
  WriteFileBytes(dir_.Sub("file"), "x");
  errno = 0;
  EXPECT_EQ(SettingsStore::Open(dir_.Sub("file/registry.reg")), nullptr);
  EXPECT_NE(errno, 0);
}

TEST(SettingsStoreDefaultPathTest, EnvironmentWins) {
  {
    ScopedEnv env("ZENTROVANE_REGISTRY", "/tmp/elsewhere.reg");
    EXPECT_EQ(SettingsStore::DefaultPath("/opt/zv"), "/tmp/elsewhere.reg");
  }
  ScopedEnv env("ZENTROVANE_REGISTRY", "");
  EXPECT_EQ(SettingsStore::DefaultPath("/opt/zv"), "/opt/zv/config/registry.reg");
  EXPECT_EQ(SettingsStore::DefaultPath("/opt/zv/"), "/opt/zv/config/registry.reg");
}

// Two processes write different values at the same moment; none is lost.
TEST_F(SettingsStoreTest, TwoProcessesWritingLoseNothing) {
  ASSERT_NE(OpenStore(), nullptr);
  constexpr int kWrites = 40;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      char go;
      close(ready[1]);
      // Both start when the parent closes the pipe.
      if (read(ready[0], &go, 1) != 0) _exit(2);
      auto store = SettingsStore::Open(Path());
      if (!store) _exit(3);
      for (int i = 0; i < kWrites; ++i) {
        std::string name = "P" + std::to_string(c) + "_" + std::to_string(i);
        if (!store->WriteDword(name, static_cast<uint32_t>(i))) _exit(4);
      }
      _exit(0);
    }
  }
  close(ready[0]);
  close(ready[1]);
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  auto store = OpenStore();
  for (int c = 0; c < 2; ++c) {
    for (int i = 0; i < kWrites; ++i) {
      std::string name = "P" + std::to_string(c) + "_" + std::to_string(i);
      EXPECT_EQ(store->ReadDword(name), static_cast<uint32_t>(i)) << name;
    }
  }
}

// A reader polling the file while another process rewrites it always sees
// one whole version.
TEST_F(SettingsStoreTest, ReaderNeverSeesHalfAFile) {
  auto store = OpenStore();
  constexpr size_t kLength = 256 * 1024;
  ASSERT_TRUE(store->WriteString("Big", std::string(kLength, 'a')));
  int done[2];
  ASSERT_EQ(pipe(done), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(done[0]);
    auto writer = SettingsStore::Open(Path());
    int rc = 0;
    for (int i = 0; i < 30 && writer; ++i) {
      if (!writer->WriteString("Big", std::string(kLength, i % 2 ? 'a' : 'b'))) rc = 4;
    }
    _exit(writer ? rc : 3);
  }
  close(done[1]);
  int reads = 0;
  pollfd pfd{done[0], POLLIN, 0};
  // Read until the writer has exited (its end of the pipe closes).
  while (poll(&pfd, 1, 0) == 0 || reads < 5) {
    std::optional<std::string> value = store->ReadString("Big");
    ASSERT_TRUE(value.has_value());
    ASSERT_EQ(value->size(), kLength);
    ASSERT_TRUE(*value == std::string(kLength, 'a') || *value == std::string(kLength, 'b'));
    ++reads;
  }
  close(done[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace zv
