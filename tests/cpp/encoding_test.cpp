#include "utils/encoding.hpp"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace dovadure::utils {
namespace {

using Bytes = std::vector<uint8_t>;

std::string decode_error(Bytes bytes, const std::function<Status(Decoder&)>& read) {
  Decoder d(bytes);
  Status s = read(d);
  if (s.ok()) return "ok";
  EXPECT_EQ(s.error().kind(), DBErrorKind::Serialization);
  return s.error().message();
}

TEST(EncodingTest, FieldLayoutsMatchHandWrittenBytes) {
  Bytes out;
  Encoder e(out);
  e.put_u8(0xAB);
  e.put_u32(0x01020304);
  e.put_u64(0x1122334455667788ull);
  e.put_i64(-2);
  e.put_f32(1.0f);
  e.put_f64(-0.0);
  e.put_bool(true);
  e.put_option_tag(false);
  e.put_variant(2);
  e.put_str("hé");
  const float fs[] = {2.0f};
  e.put_f32_seq(fs);
  const Bytes want = {
      0xAB,                                            // u8
      0x04, 0x03, 0x02, 0x01,                          // u32
      0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,  // u64
      0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // i64 -2
      0x00, 0x00, 0x80, 0x3F,                          // f32 1.0
      0, 0, 0, 0, 0, 0, 0, 0x80,                       // f64 -0.0
      0x01,                                            // bool
      0x00,                                            // absent option
      0x02, 0, 0, 0,                                   // variant index
      3, 0, 0, 0, 0, 0, 0, 0, 'h', 0xC3, 0xA9,         // string
      1, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x00, 0x40,  // f32 sequence
  };
  EXPECT_EQ(out, want);
  EXPECT_EQ(e.bytes_written(), want.size());

  Decoder d(out);
  uint8_t u8 = 0;
  uint32_t u32 = 0, variant = 0;
  uint64_t u64 = 0;
  int64_t i64 = 0;
  float f32 = 0;
  double f64 = 1;
  bool b = false, present = true;
  std::string s;
  std::vector<float> seq;
  ASSERT_TRUE(d.read_u8(u8).ok());
  ASSERT_TRUE(d.read_u32(u32).ok());
  ASSERT_TRUE(d.read_u64(u64).ok());
  ASSERT_TRUE(d.read_i64(i64).ok());
  ASSERT_TRUE(d.read_f32(f32).ok());
  ASSERT_TRUE(d.read_f64(f64).ok());
  ASSERT_TRUE(d.read_bool(b).ok());
  ASSERT_TRUE(d.read_option_tag(present).ok());
  ASSERT_TRUE(d.read_variant(variant, 3).ok());
  ASSERT_TRUE(d.read_str(s).ok());
  ASSERT_TRUE(d.read_f32_seq(seq).ok());
  EXPECT_EQ(u8, 0xAB);
  EXPECT_EQ(u32, 0x01020304u);
  EXPECT_EQ(u64, 0x1122334455667788ull);
  EXPECT_EQ(i64, -2);
  EXPECT_EQ(f32, 1.0f);
  EXPECT_TRUE(std::signbit(f64));
  EXPECT_TRUE(b);
  EXPECT_FALSE(present);
  EXPECT_EQ(variant, 2u);
  EXPECT_EQ(s, "hé");
  EXPECT_EQ(seq, std::vector<float>{2.0f});
  EXPECT_EQ(d.remaining(), 0u);
}

TEST(EncodingTest, NanBitPatternsSurviveUnchanged) {
  const uint32_t nan_bits = 0xFFC00001u;
  Bytes out;
  Encoder e(out);
  e.put_f32(std::bit_cast<float>(nan_bits));
  Decoder d(out);
  float f = 0;
  ASSERT_TRUE(d.read_f32(f).ok());
  EXPECT_EQ(std::bit_cast<uint32_t>(f), nan_bits);
}

TEST(EncodingTest, DecodeErrorTexts) {
  const std::string eof = "io error: unexpected end of file";
  EXPECT_EQ(decode_error({1, 2, 3}, [](Decoder& d) { uint32_t v; return d.read_u32(v); }), eof);
  EXPECT_EQ(decode_error({}, [](Decoder& d) { uint8_t v; return d.read_u8(v); }), eof);
  EXPECT_EQ(decode_error({7}, [](Decoder& d) { bool v; return d.read_bool(v); }),
            "invalid u8 while decoding bool, expected 0 or 1, found 7");
  EXPECT_EQ(decode_error({2}, [](Decoder& d) { bool v; return d.read_option_tag(v); }),
            "tag for enum is not valid, found 2");
  EXPECT_EQ(decode_error({3, 0, 0, 0}, [](Decoder& d) { uint32_t v; return d.read_variant(v, 3); }),
            "invalid value: integer `3`, expected variant index 0 <= i < 3");
  EXPECT_EQ(decode_error({0xFF, 0xFF, 0xFF, 0xFF},
                         [](Decoder& d) { uint32_t v; return d.read_variant(v, 8); }),
            "invalid value: integer `4294967295`, expected variant index 0 <= i < 8");
  // A string length running past the end is the end-of-data error.
  EXPECT_EQ(decode_error({4, 0, 0, 0, 0, 0, 0, 0, 'a', 'b'},
                         [](Decoder& d) { std::string s; return d.read_str(s); }),
            eof);
  EXPECT_EQ(decode_error({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                         [](Decoder& d) { std::string s; return d.read_str(s); }),
            eof);
}

TEST(EncodingTest, InvalidUtf8IsRejectedWithPosition) {
  auto str_error = [](Bytes payload) {
    Bytes in = {static_cast<uint8_t>(payload.size()), 0, 0, 0, 0, 0, 0, 0};
    in.insert(in.end(), payload.begin(), payload.end());
    return decode_error(in, [](Decoder& d) { std::string s; return d.read_str(s); });
  };
  EXPECT_EQ(str_error({'a', 0xFF}),
            "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 1");
  EXPECT_EQ(str_error({'a', 'b', 0xE2, 0x82}),
            "string is not valid utf8: incomplete utf-8 byte sequence from index 2");
  EXPECT_EQ(str_error({0xE2, 0x82, 'x'}),
            "string is not valid utf8: invalid utf-8 sequence of 2 bytes from index 0");
  EXPECT_EQ(str_error({0xC0, 0x80}),  // overlong NUL
            "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(str_error({0xED, 0xA0, 0x80}),  // surrogate half
            "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(str_error({0xF4, 0x90, 0x80, 0x80}),  // above U+10FFFF
            "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(str_error({'0', '1', '2', '3', '4', '5', '6', '7', '8', 0xF0, 0x9F, 0x98, 0x80}), "ok");
  EXPECT_EQ(str_error({0xF0, 0x9F, 0x98, 'x'}),
            "string is not valid utf8: invalid utf-8 sequence of 3 bytes from index 0");
}

TEST(EncodingTest, HugeCountsNeverSizeAllocations) {
  // A count of 2^62 floats with 4 bytes behind it: end of data, nothing reserved.
  Bytes in = {0, 0, 0, 0, 0, 0, 0, 0x40, 1, 2, 3, 4};
  EXPECT_EQ(decode_error(in, [](Decoder& d) { std::vector<float> v; return d.read_f32_seq(v); }),
            "io error: unexpected end of file");
  EXPECT_EQ(decode_error(in, [](Decoder& d) { std::vector<uint64_t> v; return d.read_u64_seq(v); }),
            "io error: unexpected end of file");

  Bytes big(3 << 20, 0);
  Decoder d(big);
  // Bounded by the bytes left ...
  EXPECT_EQ(d.reserve_hint(std::numeric_limits<uint64_t>::max(), 1024, 1), (3u << 20) / 1024);
  // ... and by 1 MiB of memory: 131072 u64 entries.
  EXPECT_EQ(d.reserve_hint(std::numeric_limits<uint64_t>::max(), 8, 8), 131072u);
  EXPECT_EQ(d.reserve_hint(5, 8, 8), 5u);
}

class CollectingSink : public ByteSink {
 public:
  Status write_all(std::span<const uint8_t> bytes) override {
    if (fail_after >= 0 && static_cast<int64_t>(data.size() + bytes.size()) > fail_after) {
      return DBError::io("failed to write whole buffer");
    }
    data.insert(data.end(), bytes.begin(), bytes.end());
    ++calls;
    return Status();
  }
  Bytes data;
  int calls = 0;
  int64_t fail_after = -1;
};

void encode_sample(Encoder& e, const std::vector<float>& big) {
  for (int i = 0; i < 20000; ++i) e.put_u64(static_cast<uint64_t>(i) * 0x9E3779B97F4A7C15ull);
  e.put_f32_seq(big);
  e.put_str("tail");
}

TEST(EncodingTest, StreamingMatchesInMemoryAcrossStagingBoundaries) {
  std::vector<float> big(50000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<float>(i) * 0.5f;
  Bytes mem;
  {
    Encoder e(mem);
    encode_sample(e, big);
    EXPECT_TRUE(e.finish().ok());
  }
  CollectingSink sink;
  Encoder e(sink);
  encode_sample(e, big);
  EXPECT_EQ(e.bytes_written(), mem.size());
  ASSERT_TRUE(e.finish().ok());
  EXPECT_EQ(sink.data, mem);
  EXPECT_GT(sink.calls, 2);  // streamed in pieces, not held whole
}

TEST(EncodingTest, SinkFailureSurfacesAsSerializationError) {
  CollectingSink sink;
  sink.fail_after = 100000;
  Encoder e(sink);
  encode_sample(e, std::vector<float>(50000, 1.0f));
  Status s = e.finish();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().to_string(), "Serialization error: io error: failed to write whole buffer");
  EXPECT_FALSE(e.finish().ok());
}

}  // namespace
}  // namespace dovadure::utils
