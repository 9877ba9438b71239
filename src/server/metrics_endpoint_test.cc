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
  struct Case {
    const char* method;
    const char* target;
    int status;
  } cases[] = {{"HEAD", "/metrics", 200}, {"GET", "/", 404}, {"GET", "/metrics/x", 404},
               {"POST", "/metrics", 405}, {"DELETE", "/metrics", 405}};
  for (const Case& c : cases) {
    EXPECT_EQ(testing::HttpRequest(endpoint_.port(), c.method, c.target), c.status)
        << c.method << " " << c.target;
  }
  EXPECT_EQ(collected_.load(), 2);  // the GET and the HEAD

  const uint16_t port = endpoint_.port();
  endpoint_.Stop();
  EXPECT_EQ(endpoint_.port(), 0);
  EXPECT_LT(testing::ConnectToLoopback(port), 0);
}

TEST_F(MetricsEndpointTest, RefusesAnAddressThatIsNoneAndAPortInUse) {
  errno = 0;
  EXPECT_FALSE(endpoint_.Start("localhost", 0));  // a name, not an address
  EXPECT_EQ(errno, EINVAL);
  uint16_t taken = 0;
  const int fd = testing::ListenOnLoopback(&taken);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(endpoint_.Start("127.0.0.1", taken));
  ::close(fd);
  // IPv6 where the machine has it; a failed start leaves none running.
  if (endpoint_.Start("::1", 0)) {
    EXPECT_NE(endpoint_.port(), 0);
    endpoint_.Stop();
  }
  EXPECT_EQ(endpoint_.port(), 0);
}

}  // namespace
}  // namespace zv
