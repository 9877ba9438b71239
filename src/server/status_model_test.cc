#include "server/status_model.h"

#include <gtest/gtest.h>

namespace zv {
namespace {

TEST(StatusModelTest, StartsIdleWithZeroSpeed) {
  StatusModel model;
  EXPECT_EQ(model.pane(0), "");
  EXPECT_EQ(model.pane(1), "Idle");
  EXPECT_EQ(model.pane(2), "T:0KB/s F:0KB/s");
  EXPECT_TRUE(model.rows().empty());
  EXPECT_EQ(model.current_row(), -1);
}

TEST(StatusModelTest, OneRowPerKeyWithItsLatestEvent) {
  StatusModel model;
  model.ShowRow("demo-00000001", "10.0.0.1", "User demo logged in!");
  model.ShowRow("shop-00000002", "10.0.0.2", "User shop logged in!");
  model.ShowRow("demo-00000001", "10.0.0.9", "Disconnect from 10.0.0.9:4000");
  ASSERT_EQ(model.rows().size(), 2u);
  EXPECT_EQ(model.rows()[0].key, "demo-00000001");
  EXPECT_EQ(model.rows()[0].address, "10.0.0.9");
  EXPECT_EQ(model.rows()[0].message, "Disconnect from 10.0.0.9:4000");
  EXPECT_EQ(model.rows()[1].message, "User shop logged in!");
  EXPECT_EQ(model.current_row(), 0);
}

TEST(StatusModelTest, EmptyKeyChangesNothing) {
  StatusModel model;
  model.ShowRow("", "10.0.0.1", "x");
  EXPECT_TRUE(model.rows().empty());
}

TEST(StatusModelTest, ListIsEmptiedWhenItHoldsMoreThanThousandRows) {
  StatusModel model;
  for (int i = 0; i < 1001; ++i) {
    model.ShowRow("user-" + std::to_string(i), "1.2.3.4", "m");
  }
  ASSERT_EQ(model.rows().size(), 1001u);
  // The next update, even of a key already listed, starts a new list.
  model.ShowRow("user-5", "5.6.7.8", "again");
  ASSERT_EQ(model.rows().size(), 1u);
  EXPECT_EQ(model.rows()[0].key, "user-5");
  EXPECT_EQ(model.rows()[0].address, "5.6.7.8");
  EXPECT_EQ(model.current_row(), 0);
}

TEST(StatusModelTest, ThousandRowsAreKept) {
  StatusModel model;
  for (int i = 0; i < 1000; ++i) model.ShowRow("k" + std::to_string(i), "a", "m");
  model.ShowRow("new", "a", "m");
  EXPECT_EQ(model.rows().size(), 1001u);
  EXPECT_EQ(model.rows().back().key, "new");
}

TEST(StatusModelTest, BadPaneIndexIsAProgrammingError) {
  StatusModel model;
  EXPECT_THROW(model.SetPane(3, "x"), int);
}

TEST(StatusModelTest, TransferRatesFromTheBytesBetweenTwoSamples) {
  using Sample = StatusModel::SessionSample;
  const auto t0 = std::chrono::steady_clock::time_point(std::chrono::seconds(100));
  StatusModel model;
  model.UpdateTransfers({Sample{"a-00000001", "x.dat", 1000, 100, 5000},
                         Sample{"", "hidden.dat", 10, 1, 1},
                         Sample{"b-00000002", "", 0, 0, 70}},
                        t0);
  // The first sample of a key has no rate yet; no key, no row; between
  // files, no transfer.
  ASSERT_NE(model.transfer("a-00000001"), nullptr);
  EXPECT_EQ(model.transfer("a-00000001")->bytes_per_second, 0u);
  EXPECT_EQ(model.transfer(""), nullptr);
  EXPECT_EQ(model.transfer("b-00000002"), nullptr);

  model.UpdateTransfers({Sample{"a-00000001", "x.dat", 1000, 600, 7000},
                         Sample{"b-00000002", "y.dat", 50, 10, 1070}},
                        t0 + std::chrono::milliseconds(500));
  const StatusModel::Transfer* a = model.transfer("a-00000001");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->file_name, "x.dat");
  EXPECT_EQ(a->file_done, 600u);
  EXPECT_EQ(a->bytes_per_second, 4000u);  // 2000 bytes in half a second
  ASSERT_NE(model.transfer("b-00000002"), nullptr);
  EXPECT_EQ(model.transfer("b-00000002")->bytes_per_second, 2000u);

  // A new session of the same key starts counting from 0 again; a key
  // that is gone loses its transfer.
  model.UpdateTransfers({Sample{"a-00000001", "z.dat", 10, 5, 5}},
                        t0 + std::chrono::milliseconds(1500));
  EXPECT_EQ(model.transfer("a-00000001")->bytes_per_second, 0u);
  EXPECT_EQ(model.transfer("b-00000002"), nullptr);
}

TEST(FormatAddressTest, MostSignificantByteFirst) {
  EXPECT_EQ(FormatAddress(0x7F000001u), "127.0.0.1");
  EXPECT_EQ(FormatAddress(0xC0A80AFEu), "192.168.10.254");
}

}  // namespace
}  // namespace zv
