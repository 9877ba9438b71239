#include "protocol/decode_pool.h"

#include <gtest/gtest.h>

#include <chrono>
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
    DecodePool::Job job;
    ASSERT_TRUE(pool.TryStart(&job, content, pooled));
    const DecodedBlock from_pool = pool.Wait(&job);
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

// A thread takes one block at a time: while it decodes, TryStart declines
// at once and the caller decodes itself. It is free again as soon as the
// block is decoded, before the session takes the result.
TEST(DecodePoolTest, ThreadIsFreeOnceItsBlockIsDecoded) {
  DecodePool pool(1);
  ASSERT_EQ(pool.thread_count(), 1u);
  // About 4 MiB of LZMA: tens of milliseconds of decoding.
  const Bytes big_data = TextLike(kMaxOriginSize, 2);
  const Bytes big = Encoded(big_data, Compression::kLzma);
  const Bytes small = Encoded(TextLike(1000, 3), Compression::kLzo);
  Bytes out1(kMaxOriginSize), out2(kMaxOriginSize);
  DecodePool::Job first, second;
  ASSERT_TRUE(pool.TryStart(&first, big, out1));
  EXPECT_FALSE(pool.TryStart(&second, small, out2));
  // Not waited for yet: the thread frees itself when done.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  bool started = false;
  while (!started && std::chrono::steady_clock::now() < deadline) {
    started = pool.TryStart(&second, small, out2);
    if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(started);
  const DecodedBlock second_result = pool.Wait(&second);
  const DecodedBlock first_result = pool.Wait(&first);
  ASSERT_TRUE(first_result.ok());
  EXPECT_TRUE(second_result.ok());
  EXPECT_EQ(Bytes(out1.begin(), out1.begin() + first_result.length), big_data);
  EXPECT_EQ(pool.blocks_decoded(), 2u);
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
        DecodePool::Job job;
        DecodedBlock result;
        if (pool.TryStart(&job, contents[i], out)) {
          result = pool.Wait(&job);
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
