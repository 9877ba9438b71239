#include "platform/settings_store.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

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

TEST_F(SettingsStoreTest, MultiStringEdgeCases) {
  auto store = OpenStore();
  // Characters beyond the 16-bit plane travel as surrogate pairs.
  ASSERT_TRUE(store->WriteMultiString("Wide", {"\xF0\x9F\x98\x80", "x"}));
  EXPECT_EQ(store->ReadMultiString("Wide"), (std::vector<std::string>{"\xF0\x9F\x98\x80", "x"}));
  EXPECT_NE(ReadFileBytes(Path()).find("=hex(7):3d,d8,00,de,00,00,78,00,00,00,00,00\n"),
            std::string::npos);
  // An empty item would end the list; it is left out instead of cutting
  // off the items after it.
  ASSERT_TRUE(store->WriteMultiString("Gap", {"a", "", "b"}));
  EXPECT_EQ(store->ReadMultiString("Gap"), (std::vector<std::string>{"a", "b"}));
  ASSERT_TRUE(store->WriteMultiString("None", {}));
  EXPECT_EQ(store->ReadMultiString("None"), std::vector<std::string>{});
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

TEST_F(SettingsStoreTest, ValueAfterAnUnfinishedHexLineStaysItsOwn) {
  WriteFileBytes(Path(), std::string(kHeader) + "\"Blob\"=hex:01,02,\\");
  auto store = OpenStore();
  ASSERT_TRUE(store->WriteDword("New", 5));
  EXPECT_EQ(store->ReadDword("New"), 5u);
  ASSERT_TRUE(store->WriteDword("Other", 6));
  EXPECT_EQ(store->ReadDword("New"), 5u);
  EXPECT_EQ(store->ReadDword("Other"), 6u);
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

TEST_F(SettingsStoreTest, FolderInPlaceOfTheFileFailsToOpen) {
  ASSERT_EQ(mkdir(dir_.Sub("folder.reg").c_str(), 0755), 0);
  errno = 0;
  EXPECT_EQ(SettingsStore::Open(dir_.Sub("folder.reg")), nullptr);
  EXPECT_EQ(errno, EISDIR);
}

TEST_F(SettingsStoreTest, FileRemovedAfterOpenIsRecreatedByAWrite) {
  auto store = OpenStore();
  ASSERT_TRUE(store->WriteDword("A", 1));
  ASSERT_EQ(unlink(Path().c_str()), 0);
  EXPECT_FALSE(store->ReadDword("A").has_value());
  ASSERT_TRUE(store->WriteDword("B", 2));
  EXPECT_EQ(ReadFileBytes(Path()), std::string(kHeader) + "\"B\"=dword:00000002\n\n");
}

TEST_F(SettingsStoreTest, AWriteThatChangesNothingLeavesTheFileAlone) {
  auto store = OpenStore();
  ASSERT_TRUE(store->WriteString("ProcessDirectory", "/opt/zv"));
  struct stat before;
  ASSERT_EQ(stat(Path().c_str(), &before), 0);
  ASSERT_TRUE(store->WriteString("ProcessDirectory", "/opt/zv"));
  struct stat after;
  ASSERT_EQ(stat(Path().c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);  // not replaced by a new copy
  ASSERT_TRUE(store->WriteString("ProcessDirectory", "/opt/zv2"));
  EXPECT_EQ(store->ReadString("ProcessDirectory"), "/opt/zv2");
}

TEST_F(SettingsStoreTest, RegistryEditorExportInUtf16IsRead) {
  std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Korvane\\Zentrovane]\r\n"
      "\"SyncPort\"=dword:0000032a\r\n";
  std::string utf16 = "\xFF\xFE";
  for (char c : text) {
    utf16.push_back(c);
    utf16.push_back('\0');
  }
  WriteFileBytes(Path(), utf16);
  auto store = OpenStore();
  EXPECT_EQ(store->ReadDword("SyncPort"), 810u);
  // A write stores the file as UTF-8 text from then on, keeping the value.
  ASSERT_TRUE(store->WriteDword("UIPort", 812));
  EXPECT_EQ(ReadFileBytes(Path()), std::string(kHeader) +
                                       "\"SyncPort\"=dword:0000032a\n"
                                       "\"UIPort\"=dword:0000032c\n");
}

// Threads of one process serialise through the lock file as processes do.
TEST_F(SettingsStoreTest, ThreadsWritingLoseNothing) {
  auto store = OpenStore();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      auto own = SettingsStore::Open(Path());
      for (int i = 0; own && i < 15; ++i) {
        EXPECT_TRUE(own->WriteString("T" + std::to_string(t) + "_" + std::to_string(i),
                                     std::to_string(i)));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 15; ++i) {
      EXPECT_EQ(store->ReadString("T" + std::to_string(t) + "_" + std::to_string(i)),
                std::to_string(i));
    }
  }
}

// A writer killed at an arbitrary moment leaves one whole version behind.
TEST_F(SettingsStoreTest, WriterKilledMidSaveLeavesAWholeFile) {
  auto store = OpenStore();
  constexpr size_t kLength = 512 * 1024;
  ASSERT_TRUE(store->WriteDword("Keep", 42));
  int progress[2];
  ASSERT_EQ(pipe(progress), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(progress[0]);
    auto writer = SettingsStore::Open(Path());
    for (int i = 0; writer; ++i) {
      if (!writer->WriteString("Big", std::string(kLength, "ab"[i % 2]))) _exit(4);
      char tick = 't';
      if (write(progress[1], &tick, 1) != 1) _exit(5);
    }
    _exit(3);
  }
  close(progress[1]);
  // Let a few saves complete, then kill the writer in the middle of the next.
  char tick;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(read(progress[0], &tick, 1), 1);
  ASSERT_EQ(kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  close(progress[0]);
  EXPECT_TRUE(WIFSIGNALED(status));
  std::optional<std::string> big = store->ReadString("Big");
  ASSERT_TRUE(big.has_value());
  EXPECT_TRUE(*big == std::string(kLength, 'a') || *big == std::string(kLength, 'b'));
  EXPECT_EQ(store->ReadDword("Keep"), 42u);
  // The lock died with the writer: the store is writable at once.
  EXPECT_TRUE(store->WriteDword("After", 1));
}

// Whatever lies on disk, reads never fail hard and a write still lands.
TEST_F(SettingsStoreTest, GarbageFileIsSurvived) {
  std::mt19937 rng(99);
  const std::string alphabet = "\"\\[]=@:,()-hexdword0123456789abcdefHKEY_ \r\n\t\xFF\xFE";
  for (int round = 0; round < 50; ++round) {
    std::string junk = "Windows Registry Editor Version 5.00\n\n"
                       "[HKEY_LOCAL_MACHINE\\Software\\Korvane\\Zentrovane]\n";
    size_t length = rng() % 2000;
    for (size_t i = 0; i < length; ++i) junk.push_back(alphabet[rng() % alphabet.size()]);
    WriteFileBytes(Path(), junk);
    auto store = OpenStore();
    ASSERT_NE(store, nullptr);
    (void)store->ReadDword("SyncPort");
    (void)store->ReadString("\"");
    (void)store->ReadMultiString("");
    ASSERT_TRUE(store->WriteDword("Zentrovane_Check", static_cast<uint32_t>(round)));
    EXPECT_EQ(store->ReadDword("Zentrovane_Check"), static_cast<uint32_t>(round));
  }
}

// Found by the settings-store fuzz target: a UTF-8 mark followed by text
// that starts with FF FE. Written back without its mark, the file read as
// UTF-16 and every value was gone.
TEST_F(SettingsStoreTest, TextThatLooksLikeAMarkStaysTextAfterAWrite) {
  for (const std::string start : {"\xEF\xBB\xBF\xFF\xFEWintor Vane]\r\n",
                                  "\xEF\xBB\xBF\xEF\xBB\xBFx\r\n"}) {
    WriteFileBytes(Path(), start +
                               "[HKEY_LOCAL_MACHINE\\Software\\Korvane\\Zentrovane]\r\n"
                               "\"SyncPort\"=dword:0000514a\r\n");
    auto store = OpenStore();
    ASSERT_TRUE(store->WriteDword("FuzzValue", 0x12345678));
    EXPECT_EQ(store->ReadDword("FuzzValue"), 0x12345678u);
    EXPECT_EQ(store->ReadDword("SyncPort"), 0x514Au);
    ASSERT_TRUE(store->WriteDword("SyncPort", 810));
    EXPECT_EQ(store->ReadDword("FuzzValue"), 0x12345678u);
  }
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

namespace zv {
namespace {

class SettingsStoreKeyTest : public ::testing::Test {
 protected:
  std::string Path() const { return dir_.Sub("registry.reg"); }
  testing::ScopedTempDir dir_;
};

TEST_F(SettingsStoreKeyTest, KeysOfOneFileKeepTheirValuesApart) {
  const std::string other = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Z\\Parameters";
  auto main_store = SettingsStore::Open(Path());
  auto other_store = SettingsStore::Open(Path(), other);
  ASSERT_NE(main_store, nullptr);
  ASSERT_NE(other_store, nullptr);
  EXPECT_EQ(other_store->key(), other);
  ASSERT_TRUE(main_store->WriteDword("SyncPort", 810));
  ASSERT_TRUE(other_store->WriteDword("SyncPort", 1));
  ASSERT_TRUE(other_store->WriteString("Name", "x"));
  EXPECT_EQ(main_store->ReadDword("SyncPort"), 810u);
  EXPECT_EQ(other_store->ReadDword("SyncPort"), 1u);
  EXPECT_FALSE(main_store->ReadString("Name").has_value());
  EXPECT_EQ(testing::ReadFileBytes(Path()),
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Korvane\\Zentrovane]\n"
            "\"SyncPort\"=dword:0000032a\n"
            "\n"
            "[" + other + "]\n"
            "\"SyncPort\"=dword:00000001\n"
            "\"Name\"=\"x\"\n"
            "\n");

  // Deleting the key removes its section and nothing else.
  ASSERT_TRUE(other_store->DeleteKey());
  EXPECT_FALSE(other_store->ReadDword("SyncPort").has_value());
  EXPECT_EQ(main_store->ReadDword("SyncPort"), 810u);
  EXPECT_EQ(testing::ReadFileBytes(Path()).find(other), std::string::npos);
  EXPECT_TRUE(other_store->DeleteKey());  // already gone
  // A key name that would end its section line is refused.
  EXPECT_EQ(SettingsStore::Open(Path(), "A]\n[B"), nullptr);
}

TEST_F(SettingsStoreKeyTest, BinaryValuesRoundTrip) {
  auto store = SettingsStore::Open(Path());
  ASSERT_NE(store, nullptr);
  std::vector<uint8_t> bytes(100);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(store->WriteBinary("Blob", bytes));
  ASSERT_TRUE(store->WriteBinary("Empty", {}));
  EXPECT_EQ(store->ReadBinary("Blob"), bytes);
  EXPECT_EQ(store->ReadBinary("Empty"), std::vector<uint8_t>());
  EXPECT_NE(testing::ReadFileBytes(Path()).find("\"Empty\"=hex:\n"), std::string::npos);
  // Another type is absent for a binary read, and a binary for the others.
  ASSERT_TRUE(store->WriteDword("Number", 5));
  EXPECT_FALSE(store->ReadBinary("Number").has_value());
  EXPECT_FALSE(store->ReadMultiString("Blob").has_value());
}

}  // namespace
}  // namespace zv
