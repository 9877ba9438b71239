#include "protocol/decode_pool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "client/block_encoder.h"

namespace zv {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes TextLike(size_t size, uint32_t seed) {
  Bytes data(size);
  std::mt19937 random(seed);
  for (auto& byte : data) byte = static_cast<uint8_t>("abcdefgh\t\n"[random() % 10]);
  return data;
}

Bytes Encoded(const Bytes& data, Compression method) {
  BlockEncoder encoder;
  Bytes content;
  EXPECT_TRUE(encoder.Encode(data, 0, method, &content));
  return content;
}

// The pool decodes to what the session's own decoder gives, bytes, length
// and failure code alike.
TEST(DecodePoolTest, DecodesAsTheSessionsDecoder) {
  DecodePool pool(1);
  const Bytes data = TextLike(300000, 1);
  Bytes broken = Encoded(data, Compression::kLzo);
  broken.resize(broken.size() - 1);
  for (const Bytes& content : {Encoded(data, Compression::kLzo),
                               Encoded(data, Compression::kLzma), broken}) {
    Bytes pooled(kMaxOriginSize), own(kMaxOriginSize);
    DecodePool::Ticket ticket;
    ASSERT_TRUE(pool.TryStart(&ticket, content, pooled));
    const DecodedBlock from_pool = pool.Wait(&ticket);
    BlockDecoder decoder;
    const DecodedBlock from_session = decoder.Decode(content, own);
    EXPECT_EQ(from_pool.code, from_session.code);
    EXPECT_EQ(from_pool.length, from_session.length);
    if (from_pool.ok()) {
      EXPECT_EQ(from_pool.data, pooled.data());
      EXPECT_EQ(Bytes(pooled.begin(), pooled.begin() + from_pool.length), data);
    }
  }
  EXPECT_EQ(pool.blocks_decoded(), 3u);
}

// A thread is lent to one block at a time, from TryStart to Wait; with
// every thread lent, TryStart declines at once and the caller decodes.
TEST(DecodePoolTest, DeclinesWhileEveryThreadIsLent) {
  DecodePool pool(2);
  ASSERT_EQ(pool.thread_count(), 2u);
  const Bytes content = Encoded(TextLike(1000, 2), Compression::kLzo);
  Bytes out1(kMaxOriginSize), out2(kMaxOriginSize), out3(kMaxOriginSize);
  DecodePool::Ticket first, second, third;
  ASSERT_TRUE(pool.TryStart(&first, content, out1));
  ASSERT_TRUE(pool.TryStart(&second, content, out2));
  EXPECT_NE(first.worker, second.worker);
  EXPECT_FALSE(pool.TryStart(&third, content, out3));
  EXPECT_TRUE(pool.Wait(&second).ok());
  ASSERT_TRUE(pool.TryStart(&third, content, out3));
  EXPECT_EQ(third.worker, 1);
  EXPECT_TRUE(pool.Wait(&first).ok());
  EXPECT_TRUE(pool.Wait(&third).ok());
  EXPECT_EQ(std::memcmp(out1.data(), out3.data(), 1000), 0);
}

// Sessions on many threads borrow the pool's threads at once; each gets
// its own block's bytes back.
TEST(DecodePoolTest, ManySessionsShareTheThreads) {
  DecodePool pool(2);
  constexpr int kSessions = 6;
  constexpr int kBlocks = 40;
  std::vector<Bytes> data, contents;
  for (int i = 0; i < kSessions; ++i) {
    data.push_back(TextLike(20000 + 1000 * i, 10 + i));
    contents.push_back(Encoded(data.back(), i % 2 == 0 ? Compression::kLzo : Compression::kLzma));
  }
  std::vector<int> wrong(kSessions, 0), pooled(kSessions, 0);
  std::vector<std::thread> sessions;
  for (int i = 0; i < kSessions; ++i) {
    sessions.emplace_back([&, i] {
      Bytes out(kMaxOriginSize);
      for (int n = 0; n < kBlocks; ++n) {
        std::memset(out.data(), 0, data[i].size());
        DecodePool::Ticket ticket;
        DecodedBlock result;
        if (pool.TryStart(&ticket, contents[i], out)) {
          result = pool.Wait(&ticket);
          ++pooled[i];
        } else {
          BlockDecoder own;
          result = own.Decode(contents[i], out);
        }
        if (!result.ok() || result.length != data[i].size() ||
            std::memcmp(out.data(), data[i].data(), data[i].size()) != 0) {
          ++wrong[i];
        }
      }
    });
  }
  for (auto& session : sessions) session.join();
  int total = 0;
  for (int i = 0; i < kSessions; ++i) {
    EXPECT_EQ(wrong[i], 0) << "session " << i;
    total += pooled[i];
  }
  EXPECT_GT(total, 0);
  EXPECT_EQ(pool.blocks_decoded(), static_cast<uint64_t>(total));
}

}  // namespace
}  // namespace zv
