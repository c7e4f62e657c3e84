#include "utils/payload.hpp"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace dovadure::utils {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes encode(const PayloadValue& v) {
  Bytes out;
  Encoder e(out);
  v.encode(e);
  EXPECT_EQ(out.size(), v.encoded_len());
  return out;
}

Result<PayloadValue> decode(const Bytes& b) {
  Decoder d(b);
  PayloadValue v;
  Status s = PayloadValue::decode(d, v);
  if (!s.ok()) return s.take_error();
  return v;
}

const double kNan1 = std::bit_cast<double>(0x7ff8000000000001ull);
const double kNan2 = std::bit_cast<double>(0xfff0000000000abcull);

TEST(PayloadValueTest, EqualityRules) {
  EXPECT_NE(PayloadValue::of_int(1), PayloadValue::of_float(1.0));
  EXPECT_NE(PayloadValue::of_list_int({}), PayloadValue::of_list_float({}));
  EXPECT_EQ(PayloadValue::of_float(kNan1), PayloadValue::of_float(kNan2));
  EXPECT_NE(PayloadValue::of_float(kNan1), PayloadValue::of_float(0.0));
  EXPECT_NE(PayloadValue::of_float(0.0), PayloadValue::of_float(kNan1));
  EXPECT_EQ(PayloadValue::of_float(-0.0), PayloadValue::of_float(0.0));
  EXPECT_EQ(PayloadValue::of_list_float({kNan1, -0.0}), PayloadValue::of_list_float({kNan2, 0.0}));
  EXPECT_NE(PayloadValue::of_list_float({1.0}), PayloadValue::of_list_float({1.0, 1.0}));
  EXPECT_EQ(PayloadValue::of_list_float({}), PayloadValue::of_list_float({}));
  EXPECT_NE(PayloadValue::of_str("a"), PayloadValue::of_str(std::string("a\0", 2)));
  EXPECT_EQ(PayloadValue::of_list_str({"a", "b"}), PayloadValue::of_list_str({"a", "b"}));
  EXPECT_NE(PayloadValue::of_list_str({"ab"}), PayloadValue::of_list_str({"a", "b"}));
  EXPECT_NE(PayloadValue::of_bool(true), PayloadValue::of_bool(false));
  EXPECT_NE(PayloadValue::of_list_bool({true}), PayloadValue::of_list_bool({true, false}));
}

TEST(PayloadValueTest, HashAgreesWithEquality) {
  EXPECT_EQ(PayloadValue::of_float(kNan1).hash(), PayloadValue::of_float(kNan2).hash());
  EXPECT_EQ(PayloadValue::of_float(-0.0).hash(), PayloadValue::of_float(0.0).hash());
  EXPECT_EQ(PayloadValue::of_list_float({kNan1, -0.0}).hash(),
            PayloadValue::of_list_float({kNan2, 0.0}).hash());
  // Distinct values should not collide in these simple cases.
  EXPECT_NE(PayloadValue::of_int(1).hash(), PayloadValue::of_float(1.0).hash());
  EXPECT_NE(PayloadValue::of_list_str({"ab"}).hash(), PayloadValue::of_list_str({"a", "b"}).hash());
  EXPECT_NE(PayloadValue::of_str("a").hash(), PayloadValue::of_str(std::string("a\0", 2)).hash());
}

TEST(PayloadValueTest, EncodedBytesMatchTheLayout) {
  EXPECT_EQ(encode(PayloadValue::of_int(-1)),
            (Bytes{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(encode(PayloadValue::of_float(kNan2)),
            (Bytes{1, 0, 0, 0, 0xbc, 0x0a, 0, 0, 0, 0, 0xf0, 0xff}));
  EXPECT_EQ(encode(PayloadValue::of_str("")), (Bytes{2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(encode(PayloadValue::of_bool(true)), (Bytes{3, 0, 0, 0, 1}));
  EXPECT_EQ(encode(PayloadValue::of_list_int({2})),
            (Bytes{4, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(encode(PayloadValue::of_list_str({"x", ""})),
            (Bytes{6, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 'x', 0, 0, 0, 0,
                   0, 0, 0, 0}));
  EXPECT_EQ(encode(PayloadValue::of_list_bool({false, true})),
            (Bytes{7, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
  EXPECT_EQ(encode(PayloadValue::of_list_float({1.5})).size(), 20u);
}

TEST(PayloadValueTest, EveryVariantRoundTripsBitExact) {
  const PayloadValue values[] = {
      PayloadValue::of_int(std::numeric_limits<int64_t>::min()), PayloadValue::of_float(kNan2),
      PayloadValue::of_str("grün"), PayloadValue::of_bool(false),
      PayloadValue::of_list_int({1, -2}), PayloadValue::of_list_float({-0.0, kNan1}),
      PayloadValue::of_list_str({"", "z"}), PayloadValue::of_list_bool({true})};
  for (const PayloadValue& v : values) {
    Bytes b = encode(v);
    auto back = decode(b);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.value(), v);
    EXPECT_EQ(encode(back.value()), b);  // NaN payloads and signs kept
  }
}

TEST(PayloadValueTest, DecodeFailures) {
  auto text = [](const Bytes& b) { return decode(b).error().to_string(); };
  EXPECT_EQ(text({8, 0, 0, 0}),
            "Serialization error: invalid value: integer `8`, expected variant index 0 <= i < 8");
  EXPECT_EQ(text({0, 0, 0, 0, 1, 2}), "Serialization error: io error: unexpected end of file");
  EXPECT_EQ(text({3, 0, 0, 0, 2}),
            "Serialization error: invalid u8 while decoding bool, expected 0 or 1, found 2");
  EXPECT_EQ(text({7, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 1, 9}),
            "Serialization error: invalid u8 while decoding bool, expected 0 or 1, found 9");
  EXPECT_EQ(text({2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x80}),
            "Serialization error: string is not valid utf8: invalid utf-8 sequence of 1 bytes "
            "from index 0");
  // A list claiming 2^64-1 strings with nothing behind it.
  EXPECT_EQ(text({6, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
            "Serialization error: io error: unexpected end of file");
}

TEST(PayloadTest, MapRoundTripAndRepeatedNames) {
  Payload p;
  p.fields.emplace("a", PayloadValue::of_int(1));
  p.fields.emplace("b", PayloadValue::of_list_str({"q"}));
  Bytes b;
  Encoder e(b);
  p.encode(e);
  EXPECT_EQ(b.size(), p.encoded_len());
  Decoder d(b);
  Payload back;
  ASSERT_TRUE(Payload::decode(d, back).ok());
  EXPECT_EQ(back, p);

  // Two entries named "k": the later one wins.
  const Bytes dup = {2, 0, 0, 0, 0, 0, 0, 0,                    // two entries
                     1, 0, 0, 0, 0, 0, 0, 0, 'k', 3, 0, 0, 0, 0,  // k: false
                     1, 0, 0, 0, 0, 0, 0, 0, 'k', 3, 0, 0, 0, 1};  // k: true
  Decoder dd(dup);
  ASSERT_TRUE(Payload::decode(dd, back).ok());
  ASSERT_EQ(back.fields.size(), 1u);
  EXPECT_EQ(back.fields.at("k"), PayloadValue::of_bool(true));
  EXPECT_EQ(Payload().encoded_len(), 8u);
}

}  // namespace
}  // namespace dovadure::utils
