// Payload filters: FilterIndex against filter_matches on random data, the
// number and list rules case by case, and the shape check's messages.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <iomanip>
#include <iterator>
#include <limits>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "payload_storage/filter.hpp"
#include "payload_storage/filter_index.hpp"
#include "utils/payload.hpp"

namespace dovadure::payload_storage {
namespace {

using utils::Payload;
using utils::PayloadValue;
using Op = Filter::Op;

constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kI64Min = std::numeric_limits<int64_t>::min();
constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");

PayloadValue I(int64_t v) { return PayloadValue::of_int(v); }
PayloadValue F(double v) { return PayloadValue::of_float(v); }
PayloadValue S(std::string v) { return PayloadValue::of_str(std::move(v)); }
PayloadValue B(bool v) { return PayloadValue::of_bool(v); }

Filter leaf(Op op, std::string field, std::vector<PayloadValue> values) {
  Filter f;
  f.op = op;
  f.field = std::move(field);
  f.values = std::move(values);
  return f;
}

Filter exists(std::string field, bool present) {
  Filter f;
  f.op = Op::Exists;
  f.field = std::move(field);
  f.exists = present;
  return f;
}

Filter logic(Op op, std::vector<Filter> children) {
  Filter f;
  f.op = op;
  f.children = std::move(children);
  return f;
}

Payload with(const char* field, PayloadValue v) {
  Payload p;
  p.fields.emplace(field, std::move(v));
  return p;
}

bool bit(const std::vector<uint64_t>& bits, size_t i) { return (bits[i / 64] >> (i % 64)) & 1; }

// Printers for failure messages: kinds are marked (3i, 3f) and -0.0 shows.
void put(std::ostream& os, int64_t x) { os << x << 'i'; }
void put(std::ostream& os, double x) {
  os << std::setprecision(17) << x << (x == 0 && std::signbit(x) ? "(neg)" : "") << 'f';
}
void put(std::ostream& os, const std::string& x) { os << '"' << x << '"' << x.size(); }
void put(std::ostream& os, bool x) { os << (x ? "true" : "false"); }
template <typename T>
void put(std::ostream& os, const std::vector<T>& xs) {
  os << '[';
  for (const T& x : xs) {
    put(os, x);
    os << ',';
  }
  os << ']';
}

std::string describe(const PayloadValue& v) {
  std::ostringstream os;
  std::visit([&](const auto& x) { put(os, x); }, v.storage());
  return os.str();
}

std::string describe(const Filter& f) {
  std::ostringstream os;
  os << filter_op_name(f.op);
  if (f.op == Op::And || f.op == Op::Or || f.op == Op::Not) {
    os << '(';
    for (const Filter& child : f.children) os << describe(child) << ", ";
    os << ')';
  } else if (f.op == Op::Exists) {
    os << ' ' << f.field << (f.exists ? " true" : " false");
  } else {
    os << ' ' << f.field;
    for (const PayloadValue& v : f.values) os << ' ' << describe(v);
  }
  return os.str();
}

std::string describe(const Payload* p) {
  if (p == nullptr) return "<no payload>";
  std::string out = "{";
  for (const auto& [k, v] : p->fields) out += k + ": " + describe(v) + "; ";
  return out + "}";
}

// ---- randomized differential ----

// Small pools so that stored values and operands collide often, across kinds
// (3 / 3.0, 2^53 + 1 / 2^53, int64 ends / +-2^63) and with the awkward floats.
const std::vector<int64_t> kInts = {0, 1, -1, 3, 7, (int64_t{1} << 53) - 1, int64_t{1} << 53,
                                    (int64_t{1} << 53) + 1, kI64Max, kI64Max - 1, kI64Min,
                                    kI64Min + 1};
const std::vector<double> kFloats = {0.0,    -0.0,    3.0,           3.5,   -1.0, -2.5,
                                     7.0,    0.5,     0x1p53,        0x1p53 + 2,  0x1p63,
                                     -0x1p63, 0x1p63 - 1024, 1e300, kInf,  -kInf};
const std::vector<std::string> kStrings = {"", "a", "b", "A", "3", "true", std::string("a\0b", 3)};
const std::vector<std::string> kFields = {"f0", "f1", "f2", "f3"};

struct Gen {
  std::mt19937_64 rng;
  explicit Gen(uint64_t seed) : rng(seed) {}

  size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); }
  bool chance(double p) { return std::bernoulli_distribution(p)(rng); }

  int64_t int_value() { return kInts[below(kInts.size())]; }
  double float_value(bool allow_nan) {
    if (allow_nan && chance(0.08)) return kNaN;
    return kFloats[below(kFloats.size())];
  }
  const std::string& str_value() { return kStrings[below(kStrings.size())]; }

  template <typename T, typename Next>
  std::vector<T> list(Next next) {
    std::vector<T> xs(below(4));  // 0..3 elements, empty lists included
    for (size_t i = 0; i < xs.size(); ++i) xs[i] = next();
    return xs;
  }

  PayloadValue stored_value() {
    auto coin = [this] { return chance(0.5); };
    switch (below(8)) {
      case 0: return I(int_value());
      case 1: return F(float_value(true));
      case 2: return S(str_value());
      case 3: return B(coin());
      case 4: return PayloadValue::of_list_int(list<int64_t>([this] { return int_value(); }));
      case 5:
        return PayloadValue::of_list_float(list<double>([this] { return float_value(true); }));
      case 6: return PayloadValue::of_list_str(list<std::string>([this] { return str_value(); }));
      default: return PayloadValue::of_list_bool(list<bool>(coin));
    }
  }

  std::optional<Payload> payload() {
    if (chance(0.1)) return std::nullopt;
    Payload p;
    for (const std::string& field : kFields) {
      if (chance(0.7)) p.fields.emplace(field, stored_value());
    }
    return p;
  }

  PayloadValue operand(bool numeric_only) {
    switch (below(numeric_only ? 2 : 4)) {
      case 0: return I(int_value());
      case 1: return F(float_value(false));
      case 2: return S(str_value());
      default: return B(chance(0.5));
    }
  }

  Filter filter(size_t depth_left) {
    if (depth_left > 1 && chance(0.4)) {
      const size_t pick = below(3);
      const Op op = pick == 0 ? Op::And : (pick == 1 ? Op::Or : Op::Not);
      const size_t count = op == Op::Not ? 1 : 1 + below(3);
      std::vector<Filter> children;
      for (size_t i = 0; i < count; ++i) children.push_back(filter(depth_left - 1));
      return logic(op, std::move(children));
    }
    static const Op kLeaves[] = {Op::Eq, Op::Ne, Op::Gt,  Op::Gte, Op::Lt,
                                 Op::Lte, Op::In, Op::Nin, Op::Exists};
    const Op op = kLeaves[below(std::size(kLeaves))];
    // "zz" is a field no payload has.
    std::string field = chance(0.1) ? "zz" : kFields[below(kFields.size())];
    if (op == Op::Exists) return exists(std::move(field), chance(0.5));
    std::vector<PayloadValue> values;
    if (op == Op::In || op == Op::Nin) {
      const size_t count = below(4);
      for (size_t i = 0; i < count; ++i) values.push_back(operand(false));
    } else {
      const bool range = op != Op::Eq && op != Op::Ne;
      values.push_back(operand(range));
    }
    return leaf(op, std::move(field), std::move(values));
  }
};

TEST(FilterIndexTest, AgreesWithFilterMatchesOnRandomPayloadsAndFilters) {
  Gen gen(20240611);
  std::vector<uint64_t> out;
  size_t filters_checked = 0;
  size_t partial = 0;
  for (size_t n : {size_t{0}, size_t{1}, size_t{64}, size_t{130}, size_t{257}}) {
    std::vector<std::optional<Payload>> payloads;
    for (size_t i = 0; i < n; ++i) payloads.push_back(gen.payload());
    const FilterIndex index = FilterIndex::build(n, [&](uint32_t node) -> const Payload* {
      return payloads[node] ? &*payloads[node] : nullptr;
    });
    ASSERT_EQ(index.size(), n);
    for (int round = 0; round < 1200; ++round) {
      const Filter filter = gen.filter(3);
      ASSERT_EQ(filter_shape_error(filter), "") << describe(filter);
      out.assign(7, ~uint64_t{0});  // stale contents must not leak through
      index.evaluate(filter, out);
      ASSERT_EQ(out.size(), (n + 63) / 64);
      size_t matched = 0;
      for (size_t node = 0; node < n; ++node) {
        const Payload* p = payloads[node] ? &*payloads[node] : nullptr;
        const bool expected = filter_matches(filter, p);
        ASSERT_EQ(bit(out, node), expected)
            << "n=" << n << " node " << node << " " << describe(p) << "\nfilter "
            << describe(filter);
        matched += expected;
      }
      for (size_t pad = n; pad < out.size() * 64; ++pad) {
        ASSERT_FALSE(bit(out, pad)) << "bit past n set, filter " << describe(filter);
      }
      ++filters_checked;
      partial += matched > 0 && matched < n;
    }
  }
  // The generator must produce filters that split the points, or agreement
  // would prove little.
  EXPECT_EQ(filters_checked, 6000u);
  EXPECT_GT(partial, filters_checked / 3);
}

TEST(FilterTest, CompareIntDoubleIsExact) {
  // x86-64 long double holds every int64 and every double exactly.
  if (std::numeric_limits<long double>::digits < 64) GTEST_SKIP() << "no exact oracle";
  auto oracle = [](int64_t i, double d) {
    const long double a = static_cast<long double>(i);
    const long double b = static_cast<long double>(d);
    return (a > b) - (a < b);
  };
  // Integers at random scales and at the edges; doubles on, next to or
  // between them, and raw bit patterns.
  std::mt19937_64 rng(7);
  for (int k = 0; k < 400000; ++k) {
    // Edge values +-3, wrapping past the int64 ends.
    const uint64_t near_edge = static_cast<uint64_t>(kInts[rng() % kInts.size()]) + rng() % 7 - 3;
    const int64_t i = k % 2 ? static_cast<int64_t>(near_edge)
                            : static_cast<int64_t>(rng()) >> (rng() % 64);
    double d = k % 3 ? static_cast<double>(i) : kFloats[rng() % kFloats.size()];
    switch (rng() % 4) {
      case 0: break;
      case 1: d = std::nextafter(d, rng() % 2 ? kInf : -kInf); break;
      case 2: d += rng() % 2 ? 0.5 : -0.25; break;
      default: {
        const uint64_t bits = rng();
        std::memcpy(&d, &bits, sizeof d);
        if (std::isnan(d)) continue;
      }
    }
    ASSERT_EQ(compare_int_double(i, d), oracle(i, d)) << i << " vs " << describe(F(d));
  }
}

// ---- the rules one case at a time ----

struct Case {
  const char* rule;
  std::optional<Payload> payload;  // nullopt: the point has no payload
  Filter filter;
  bool expected;
};

TEST(FilterTest, EdgeCasesMatchTheirStatedOutcome) {
  const int64_t p53 = int64_t{1} << 53;
  std::vector<Case> cases = {
      {"3 == 3.0", with("x", I(3)), leaf(Op::Eq, "x", {F(3.0)}), true},
      {"3.0 in [3]", with("x", F(3.0)), leaf(Op::In, "x", {S("3"), I(3)}), true},
      {"-0.0 == 0", with("x", F(-0.0)), leaf(Op::Eq, "x", {I(0)}), true},
      {"-0.0 not < 0", with("x", F(-0.0)), leaf(Op::Lt, "x", {I(0)}), false},
      {"true != 1", with("x", B(true)), leaf(Op::Eq, "x", {I(1)}), false},
      {"str is not a number", with("x", S("3")), leaf(Op::Eq, "x", {I(3)}), false},
      {"exact bytes", with("x", S("a")), leaf(Op::In, "x", {S("A"), S(std::string("a\0", 2))}),
       false},
      {"list any-match", with("x", PayloadValue::of_list_int({1, 2})), leaf(Op::Eq, "x", {I(2)}),
       true},
      {"list ne: no element may equal", with("x", PayloadValue::of_list_int({1, 2})),
       leaf(Op::Ne, "x", {I(1)}), false},
      {"list nin", with("x", PayloadValue::of_list_str({"a", "b"})), leaf(Op::Nin, "x", {S("c")}),
       true},
      {"each range on its own element",
       with("x", PayloadValue::of_list_float({1.5, 9.0})),
       logic(Op::And, {leaf(Op::Gt, "x", {I(5)}), leaf(Op::Lt, "x", {I(2)})}), true},
      {"ne on missing field", with("y", I(1)), leaf(Op::Ne, "x", {I(1)}), true},
      {"gte on missing field", with("y", I(1)), leaf(Op::Gte, "x", {F(-kInf)}), false},
      {"no payload ne", std::nullopt, leaf(Op::Ne, "x", {I(1)}), true},
      {"no payload exists false", std::nullopt, exists("x", false), true},
      {"empty list exists", with("x", PayloadValue::of_list_int({})), exists("x", true), true},
      {"empty In", with("x", I(1)), leaf(Op::In, "x", {}), false},
      {"empty Nin", with("x", I(1)), leaf(Op::Nin, "x", {}), true},
      {"2^53+1 != 2^53 as double", with("x", I(p53 + 1)), leaf(Op::Eq, "x", {F(0x1p53)}), false},
      {"2^53+1 > 2^53 as double", with("x", I(p53 + 1)), leaf(Op::Gt, "x", {F(0x1p53)}), true},
      {"2^53 as double == 2^53", with("x", F(0x1p53)), leaf(Op::Eq, "x", {I(p53)}), true},
      {"int64 max < 2^63", with("x", I(kI64Max)), leaf(Op::Lt, "x", {F(0x1p63)}), true},
      {"int64 max != 2^63", with("x", I(kI64Max)), leaf(Op::Eq, "x", {F(0x1p63)}), false},
      {"int64 min == -2^63", with("x", I(kI64Min)), leaf(Op::Lte, "x", {F(-0x1p63)}), true},
      {"range ignores strings", with("x", S("9")), leaf(Op::Gt, "x", {I(1)}), false},
      {"range ignores bools", with("x", B(true)), leaf(Op::Gte, "x", {I(0)}), false},
      {"NaN is not >= -inf", with("x", F(kNaN)), leaf(Op::Gte, "x", {F(-kInf)}), false},
      {"NaN ne", with("x", F(kNaN)), leaf(Op::Ne, "x", {F(1.0)}), true},
      {"NaN in a list skipped", with("x", PayloadValue::of_list_float({kNaN, 4.0})),
       leaf(Op::Gt, "x", {I(3)}), true},
  };
  const FilterIndex index = FilterIndex::build(cases.size(), [&](uint32_t node) -> const Payload* {
    return cases[node].payload ? &*cases[node].payload : nullptr;
  });
  std::vector<uint64_t> out;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    ASSERT_EQ(filter_shape_error(c.filter), "") << c.rule;
    const Payload* p = c.payload ? &*c.payload : nullptr;
    EXPECT_EQ(filter_matches(c.filter, p), c.expected) << "filter_matches: " << c.rule;
    index.evaluate(c.filter, out);
    EXPECT_EQ(bit(out, i), c.expected) << "FilterIndex: " << c.rule;
  }
}

// ---- shape check ----

TEST(FilterTest, ShapeErrorsNameTheOperator) {
  EXPECT_EQ(filter_shape_error(leaf(Op::Gt, "price", {S("5")})),
            "Gt on field `price` needs an Int or Float operand, got Str");
  EXPECT_EQ(filter_shape_error(leaf(Op::Lte, "price", {B(true)})),
            "Lte on field `price` needs an Int or Float operand, got Bool");
  EXPECT_EQ(filter_shape_error(logic(Op::And, {})), "And needs at least one child");
  EXPECT_EQ(filter_shape_error(logic(Op::Not, {exists("a", true), exists("b", true)})),
            "Not needs exactly one child, got 2");
  EXPECT_EQ(filter_shape_error(logic(Op::And, {exists("a", true), logic(Op::Or, {})})),
            "Or needs at least one child");
  EXPECT_EQ(filter_shape_error(leaf(Op::Eq, "x", {})),
            "Eq on field `x` needs exactly one operand, got 0");
  EXPECT_EQ(filter_shape_error(leaf(Op::In, "x", {I(1), PayloadValue::of_list_int({1})})),
            "In on field `x` takes scalar operands only, got ListInt");
  EXPECT_EQ(filter_shape_error(leaf(Op::Nin, "x", {F(kNaN)})),
            "Nin on field `x` has a NaN operand");
  Filter unknown = exists("x", true);
  unknown.op = static_cast<Op>(200);
  EXPECT_EQ(filter_shape_error(unknown), "unknown filter operator 200");

  Filter deep = exists("x", true);
  for (size_t depth = 1; depth < kMaxFilterDepth; ++depth) deep = logic(Op::Not, {deep});
  EXPECT_EQ(filter_shape_error(deep), "");
  EXPECT_EQ(filter_shape_error(logic(Op::Not, {deep})),
            "Exists is nested deeper than 32 levels");
}

}  // namespace
}  // namespace dovadure::payload_storage
