#include "payload_storage/stores.hpp"

#include <bit>
#include <cmath>

#include <gtest/gtest.h>

namespace dovadure::payload_storage {
namespace {

using utils::Payload;
using utils::PayloadValue;
using IdSet = PayloadIndex::IdSet;

Payload make(std::initializer_list<std::pair<const char*, PayloadValue>> fields) {
  Payload p;
  for (const auto& [k, v] : fields) p.fields.insert_or_assign(k, v);
  return p;
}

std::optional<IdSet> query(const PayloadIndex& idx, const char* f, const PayloadValue& v) {
  const IdSet* s = idx.query_exact(f, v);
  if (s == nullptr) return std::nullopt;
  return *s;
}

TEST(PayloadIndexTest, InsertSkipsListsAndKeepsSetSemantics) {
  PayloadIndex idx;
  idx.insert(1, make({{"tags", PayloadValue::of_list_str({"a"})}}));
  idx.insert(1, Payload());
  EXPECT_TRUE(idx.empty());
  const Payload p = make({{"color", PayloadValue::of_str("red")}, {"n", PayloadValue::of_int(1)}});
  idx.insert(1, p);
  idx.insert(1, p);
  idx.insert(2, make({{"n", PayloadValue::of_float(1.0)}}));
  EXPECT_EQ(query(idx, "color", PayloadValue::of_str("red")), (IdSet{1}));
  // Int 1 and Float 1.0 are different keys under one field.
  EXPECT_EQ(query(idx, "n", PayloadValue::of_int(1)), (IdSet{1}));
  EXPECT_EQ(query(idx, "n", PayloadValue::of_float(1.0)), (IdSet{2}));
  EXPECT_EQ(idx.fields().at("n").size(), 2u);
  // A list value finds nothing even though the field exists.
  EXPECT_EQ(query(idx, "n", PayloadValue::of_list_int({1})), std::nullopt);
  EXPECT_EQ(query(idx, "missing", PayloadValue::of_int(1)), std::nullopt);
}

TEST(PayloadIndexTest, FloatKeysFollowPayloadEquality) {
  PayloadIndex idx;
  idx.insert(1, make({{"x", PayloadValue::of_float(-0.0)}}));
  idx.insert(2, make({{"x", PayloadValue::of_float(0.0)}}));
  idx.insert(3, make({{"x", PayloadValue::of_float(std::bit_cast<double>(0x7ff8000000000001ull))}}));
  idx.insert(4, make({{"x", PayloadValue::of_float(std::bit_cast<double>(0xfff8000000000000ull))}}));
  EXPECT_EQ(idx.fields().at("x").size(), 2u);
  EXPECT_EQ(query(idx, "x", PayloadValue::of_float(0.0)), (IdSet{1, 2}));
  EXPECT_EQ(query(idx, "x", PayloadValue::of_float(std::nan(""))), (IdSet{3, 4}));
}

TEST(PayloadIndexTest, RemoveDropsEmptyEntriesAndIgnoresUnknowns) {
  PayloadIndex idx;
  const Payload a = make({{"c", PayloadValue::of_str("red")}, {"d", PayloadValue::of_bool(true)}});
  const Payload b = make({{"c", PayloadValue::of_str("red")}});
  idx.insert(1, a);
  idx.insert(2, b);
  const PayloadIndex before = idx;
  idx.remove(1, make({{"zzz", PayloadValue::of_int(1)}}));
  idx.remove(1, make({{"c", PayloadValue::of_str("blue")}}));
  idx.remove(1, make({{"c", PayloadValue::of_list_str({"red"})}}));
  idx.remove(3, b);
  EXPECT_EQ(idx, before);

  idx.remove(1, a);
  EXPECT_EQ(query(idx, "c", PayloadValue::of_str("red")), (IdSet{2}));
  EXPECT_EQ(query(idx, "d", PayloadValue::of_bool(true)), std::nullopt);
  EXPECT_EQ(idx.fields().count("d"), 0u);  // the field entry is gone, not empty
  idx.remove(2, b);
  EXPECT_TRUE(idx.empty());
}

utils::Result<PayloadIndex> round_trip(const std::vector<uint8_t>& bytes) {
  utils::Decoder d(bytes);
  PayloadIndex out;
  utils::Status s = PayloadIndex::decode(d, out);
  if (!s.ok()) return s.take_error();
  return out;
}

TEST(PayloadIndexTest, EncodingRoundTripAndHandWrittenLayout) {
  PayloadIndex idx;
  idx.insert(5, make({{"k", PayloadValue::of_bool(true)}}));
  std::vector<uint8_t> bytes;
  utils::Encoder e(bytes);
  idx.encode(e);
  const std::vector<uint8_t> want = {1, 0, 0, 0, 0, 0, 0, 0,       // one field
                                     1, 0, 0, 0, 0, 0, 0, 0, 'k',  // "k"
                                     1, 0, 0, 0, 0, 0, 0, 0,       // one value
                                     3, 0, 0, 0, 1,                // Bool true
                                     1, 0, 0, 0, 0, 0, 0, 0,       // one id
                                     5, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(bytes, want);
  auto back = round_trip(bytes);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.value(), idx);

  for (int i = 0; i < 50; ++i) idx.insert(i, make({{"n", PayloadValue::of_int(i % 7)}}));
  bytes.clear();
  utils::Encoder e2(bytes);
  idx.encode(e2);
  back = round_trip(bytes);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.value(), idx);
}

TEST(PayloadIndexTest, DecodedIndexKeepsTheInvariants) {
  // One field holding an empty id set and a list-valued key.
  const std::vector<uint8_t> bytes = {1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 'k',
                                      2, 0, 0, 0, 0, 0, 0, 0,                        // two values
                                      3, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0,          // Bool, no ids
                                      7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,             // ListBool []
                                      1, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0};  // id 9
  auto back = round_trip(bytes);
  ASSERT_TRUE(back.ok());
  EXPECT_TRUE(back.value().empty());

  auto truncated = round_trip(std::vector<uint8_t>(bytes.begin(), bytes.end() - 3));
  ASSERT_FALSE(truncated.ok());
  EXPECT_EQ(truncated.error().message(), "io error: unexpected end of file");
  // A huge id count with no ids behind it fails without reserving for it.
  std::vector<uint8_t> huge(bytes.begin(), bytes.begin() + 30);
  for (int i = 0; i < 8; ++i) huge.push_back(0xFF);
  EXPECT_FALSE(round_trip(huge).ok());
}

}  // namespace
}  // namespace dovadure::payload_storage
