#include "server/metrics_endpoint.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "test_util.h"
#include "util/metrics.h"

namespace zv {
namespace {

class MetricsEndpointTest : public ::testing::Test {
 protected:
  metrics::Registry registry_;
  metrics::Counter& counter_ = registry_.AddCounter("zv_test_total", "Test.").With({});
  std::atomic<int> collected_{0};
  MetricsEndpoint endpoint_{registry_, [this] {
                              ++collected_;
                              counter_.Add(5);
                            }};
};

TEST_F(MetricsEndpointTest, AnswersGetOfMetricsOnlyAndCollectsFirst) {
  ASSERT_TRUE(endpoint_.Start("127.0.0.1", 0));
  ASSERT_NE(endpoint_.port(), 0);
  std::string body;
  EXPECT_EQ(testing::HttpRequest(endpoint_.port(), "GET", "/metrics", &body), 200);
  EXPECT_EQ(body, "# HELP zv_test_total Test.\n# TYPE zv_test_total counter\nzv_test_total 5\n");
  EXPECT_EQ(testing::HttpRequest(endpoint_.port(), "GET", "/"), 404);
  EXPECT_EQ(testing::HttpRequest(endpoint_.port(), "POST", "/metrics"), 405);
  EXPECT_EQ(collected_.load(), 1);

  const uint16_t port = endpoint_.port();
  endpoint_.Stop();
  EXPECT_EQ(endpoint_.port(), 0);
  EXPECT_LT(testing::ConnectToLoopback(port), 0);
}

TEST_F(MetricsEndpointTest, RefusesANameAndAPortInUse) {
  errno = 0;
  EXPECT_FALSE(endpoint_.Start("localhost", 0));  // a name, not an address
  EXPECT_EQ(errno, EINVAL);
  uint16_t taken = 0;
  const int fd = testing::ListenOnLoopback(&taken);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(endpoint_.Start("127.0.0.1", taken));
  ::close(fd);
  EXPECT_EQ(endpoint_.port(), 0);
}

}  // namespace
}  // namespace zv
