#include "platform/named_object.h"

#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "test_util.h"

namespace zv {
namespace {

using testing::ScopedEnv;
using testing::UniqueName;

class NamedObjectTest : public ::testing::Test {
 protected:
  ScopedEnv ns_{"ZENTROVANE_OBJECT_NAMESPACE", UniqueName("ns")};
};

std::unique_ptr<NamedEvent> MustCreate(const std::string& name, bool manual_reset) {
  NamedEvent::CreateResult result = NamedEvent::CreateResult::kFailed;
  auto event = NamedEvent::Create(name, manual_reset, &result);
  EXPECT_EQ(result, NamedEvent::CreateResult::kCreated);
  EXPECT_NE(event, nullptr);
  return event;
}

TEST(NamedObjectAddressTest, NamespaceAndWindowsName) {
  ScopedEnv ns("ZENTROVANE_OBJECT_NAMESPACE", "t42");
  EXPECT_EQ(NamedObjectAddress("Global\\ZentrovaneStopEvent"),
            "zentrovane/t42/Global\\ZentrovaneStopEvent");
  ScopedEnv empty("ZENTROVANE_OBJECT_NAMESPACE", "");
  EXPECT_EQ(NamedObjectAddress("Global\\X"), "zentrovane//Global\\X");
}

TEST_F(NamedObjectTest, CreateExistsAndSecondCreate) {
  EXPECT_FALSE(NamedObjectExists("Global\\ZentrovaneStopEvent"));
  auto event = MustCreate("Global\\ZentrovaneStopEvent", true);
  EXPECT_TRUE(NamedObjectExists("Global\\ZentrovaneStopEvent"));
  NamedEvent::CreateResult result = NamedEvent::CreateResult::kCreated;
  EXPECT_EQ(NamedEvent::Create("Global\\ZentrovaneStopEvent", true, &result), nullptr);
  EXPECT_EQ(result, NamedEvent::CreateResult::kAlreadyExists);
  event.reset();
  EXPECT_FALSE(NamedObjectExists("Global\\ZentrovaneStopEvent"));
  auto again = MustCreate("Global\\ZentrovaneStopEvent", true);
  EXPECT_NE(again, nullptr);
}

TEST_F(NamedObjectTest, ManualResetStaysSetUntilReset) {
  auto event = MustCreate("Global\\Manual", true);
  EXPECT_FALSE(event->Wait(0));
  ASSERT_TRUE(SignalNamedEvent("Global\\Manual"));
  EXPECT_TRUE(event->Wait(0));
  EXPECT_TRUE(event->Wait(0));
  event->Reset();
  EXPECT_FALSE(event->Wait(0));
  event->Set();
  EXPECT_TRUE(event->Wait(0));
}

TEST_F(NamedObjectTest, AutoResetIsConsumedByAWait) {
  auto event = MustCreate("Global\\Auto", false);
  ASSERT_TRUE(SignalNamedEvent("Global\\Auto"));
  EXPECT_TRUE(event->Wait(0));
  EXPECT_FALSE(event->Wait(0));
}

TEST_F(NamedObjectTest, OpenTestDoesNotSetTheEvent) {
  auto event = MustCreate("Global\\Probe", true);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(NamedObjectExists("Global\\Probe"));
  EXPECT_FALSE(event->Wait(0));
}

TEST_F(NamedObjectTest, WaitWithoutLimitWakesOnSignalFromAnotherThread) {
  auto event = MustCreate("Global\\Wake", false);
  bool signalled = false;
  std::thread signaller([&] { signalled = SignalNamedEvent("Global\\Wake"); });
  EXPECT_TRUE(event->Wait(-1));
  signaller.join();
  EXPECT_TRUE(signalled);
}

TEST_F(NamedObjectTest, SignalWithoutOwnerFails) {
  errno = 0;
  EXPECT_FALSE(SignalNamedEvent("Global\\Nobody"));
  EXPECT_NE(errno, 0);
}

TEST_F(NamedObjectTest, TooLongNameFails) {
  NamedEvent::CreateResult result = NamedEvent::CreateResult::kCreated;
  errno = 0;
  EXPECT_EQ(NamedEvent::Create(std::string(200, 'x'), true, &result), nullptr);
  EXPECT_EQ(result, NamedEvent::CreateResult::kFailed);
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_FALSE(NamedObjectExists(std::string(200, 'x')));
}

TEST_F(NamedObjectTest, NamespacesAreSeparate) {
  auto event = MustCreate("Global\\Shared", true);
  {
    ScopedEnv other("ZENTROVANE_OBJECT_NAMESPACE", UniqueName("other"));
    EXPECT_FALSE(NamedObjectExists("Global\\Shared"));
    auto second = MustCreate("Global\\Shared", true);
    ASSERT_TRUE(SignalNamedEvent("Global\\Shared"));
    EXPECT_TRUE(second->Wait(0));
  }
  EXPECT_FALSE(event->Wait(0));
}

TEST_F(NamedObjectTest, ObjectVanishesWhenOwnerIsKilled) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    NamedEvent::CreateResult result;
    auto event = NamedEvent::Create("Global\\KorvaneZentrovaneLoaderMutex", false, &result);
    char status = event ? 'y' : 'n';
    if (write(ready[1], &status, 1) != 1) _exit(2);
    for (;;) pause();
  }
  close(ready[1]);
  char status = 0;
  ASSERT_EQ(read(ready[0], &status, 1), 1);
  close(ready[0]);
  ASSERT_EQ(status, 'y');

  EXPECT_TRUE(NamedObjectExists("Global\\KorvaneZentrovaneLoaderMutex"));
  NamedEvent::CreateResult result = NamedEvent::CreateResult::kCreated;
  EXPECT_EQ(NamedEvent::Create("Global\\KorvaneZentrovaneLoaderMutex", false, &result), nullptr);
  EXPECT_EQ(result, NamedEvent::CreateResult::kAlreadyExists);
  // The owner's loop answers a set, so the event works across processes.
  EXPECT_TRUE(SignalNamedEvent("Global\\KorvaneZentrovaneLoaderMutex"));

  ASSERT_EQ(kill(child, SIGKILL), 0);
  int wstatus = 0;
  ASSERT_EQ(waitpid(child, &wstatus, 0), child);
  EXPECT_FALSE(NamedObjectExists("Global\\KorvaneZentrovaneLoaderMutex"));
  auto mine = MustCreate("Global\\KorvaneZentrovaneLoaderMutex", false);
  EXPECT_NE(mine, nullptr);
}

}  // namespace
}  // namespace zv
