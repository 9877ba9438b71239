// Two hundred appliances logging in at once.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "e2e_util.h"

namespace zv::e2e {
namespace {

TEST(LoadE2ETest, TwoHundredAppliancesAtOnceAreAllAnswered) {
  constexpr int kAppliances = 200;
  ServerHome home;
  ASSERT_TRUE(home.AddAccount("fleet", "pw", "shop"));
  ServerProcess server(home);
  ASSERT_TRUE(server.Start()) << server.Output();

  std::vector<LoginAnswer> answers(kAppliances);
  std::vector<std::unique_ptr<ApplianceClient>> clients;
  for (int i = 0; i < kAppliances; ++i) clients.push_back(std::make_unique<ApplianceClient>());
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < kAppliances; ++i) {
    threads.emplace_back([&, i] {
      ++ready;
      while (!go.load()) std::this_thread::yield();
      // Bounded: a lost answer fails the test instead of hanging it.
      clients[i]->set_timeout_ms(60000);
      answers[i] = LoginOnce(clients[i].get(), home,
                             MakeLogin("fleet", "pw", 0x10000 + static_cast<uint32_t>(i)));
    });
  }
  while (ready.load() < kAppliances) std::this_thread::yield();
  go.store(true);
  for (std::thread& thread : threads) thread.join();

  int accepted = 0;
  for (int i = 0; i < kAppliances; ++i) {
    EXPECT_EQ(answers[i].kind, LoginAnswer::Kind::kAccepted)
        << "appliance " << i << " code " << answers[i].code << " " << clients[i]->last_error();
    if (answers[i].kind == LoginAnswer::Kind::kAccepted) ++accepted;
  }
  EXPECT_EQ(accepted, kAppliances);
  EXPECT_FALSE(home.OpLogHas("同步器服务端正忙,用户fleet的同步请求已被忽略!"));
  clients.clear();
  EXPECT_EQ(server.Stop(std::chrono::seconds(60)), 0);
}

}  // namespace
}  // namespace zv::e2e
