#include "utils/envelope.hpp"

#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "utils/adler32.hpp"

namespace dovadure::utils {
namespace {

using Bytes = std::vector<uint8_t>;

void append_u32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void append(Bytes& b, std::string_view s) {
  for (char c : s) b.push_back(static_cast<uint8_t>(c));
}
void append(Bytes& b, const Bytes& more) {
  for (uint8_t c : more) b.push_back(c);
}

Bytes with_footer(Bytes content) {
  const uint32_t sum = adler32(content);
  append(content, "VDBF");
  append_u32(content, sum);
  return content;
}

// A stand-in metadata record: one u64 and one bool (9 bytes).
struct Meta {
  uint64_t value = 0;
  bool flag = false;
};

Bytes encode_meta(Meta m) {
  Bytes out;
  Encoder e(out);
  e.put_u64(m.value);
  e.put_bool(m.flag);
  return out;
}

struct Opened {
  Result<SnapshotEnvelope> env;
  std::optional<Meta> meta;
};

// The returned body views `file`, which must outlive it.
Opened open(const Bytes& file) {
  Meta m;
  auto env = open_snapshot_envelope(file, [&](std::span<const uint8_t> bytes) -> Status {
    Decoder d(bytes);
    DOVADURE_TRY(d.read_u64(m.value));
    return d.read_bool(m.flag);
  });
  std::optional<Meta> meta;
  if (env.ok() && env.value().has_metadata) meta = m;
  return {std::move(env), meta};
}

std::string body_text(const SnapshotEnvelope& env) {
  return std::string(env.body.begin(), env.body.end());
}

// Header, body and trailer written by hand from the layout.
Bytes v3_content(std::string_view body, const Bytes& meta, uint32_t trailer_version = 1,
                 std::optional<uint32_t> stored_len = std::nullopt) {
  Bytes b;
  append(b, "VDBS");
  append_u32(b, 3);
  append(b, body);
  append(b, meta);
  append_u32(b, stored_len.value_or(static_cast<uint32_t>(meta.size())));
  append_u32(b, trailer_version);
  append(b, "VDBM");
  return b;
}

TEST(EnvelopeTest, WrittenFileMatchesLayoutAndOpensBack) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("dovadure_envelope_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "seg.snap").string();
  const Bytes meta = encode_meta({42, true});
  ASSERT_TRUE(write_snapshot_file(path, [](Encoder& e) { e.put_str("body"); }, meta).ok());
  std::ifstream in(path, std::ios::binary);
  const Bytes file((std::istreambuf_iterator<char>(in)), {});
  std::filesystem::remove_all(dir);

  // The body is the encoded string: u64 length 4, then "body".
  const Bytes body = {4, 0, 0, 0, 0, 0, 0, 0, 'b', 'o', 'd', 'y'};
  const Bytes want = v3_content(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()), meta);
  EXPECT_EQ(file, with_footer(want));

  Opened o = open(file);
  ASSERT_TRUE(o.env.ok());
  EXPECT_EQ(o.env.value().version, 3u);
  EXPECT_TRUE(o.env.value().checksummed);
  EXPECT_EQ(Bytes(o.env.value().body.begin(), o.env.value().body.end()), body);
  ASSERT_TRUE(o.meta.has_value());
  EXPECT_EQ(o.meta->value, 42u);
  EXPECT_TRUE(o.meta->flag);
}

TEST(EnvelopeTest, FooterChecksMismatchAndAbsence) {
  Bytes file = with_footer(v3_content("BODY", encode_meta({1, false})));
  file[9] ^= 1;  // inside the body
  Opened bad = open(file);
  ASSERT_FALSE(bad.env.ok());
  EXPECT_EQ(bad.env.error().to_string(), "Serialization error: segment snapshot checksum mismatch");

  // Without the footer nothing is verified and the damaged body is returned.
  file.resize(file.size() - 8);
  Opened unchecked = open(file);
  ASSERT_TRUE(unchecked.env.ok());
  EXPECT_FALSE(unchecked.env.value().checksummed);
  EXPECT_EQ(body_text(unchecked.env.value()), "BNDY");

  // Exactly "VDBF" + u32 1: the checksum of nothing verifies, content is empty.
  Bytes empty;
  append(empty, "VDBF");
  append_u32(empty, 1);
  Opened e = open(empty);
  ASSERT_TRUE(e.env.ok());
  EXPECT_EQ(e.env.value().version, 0u);
  EXPECT_TRUE(e.env.value().body.empty());

  // Shorter than 8 bytes: a bare body.
  const Bytes tiny_file = {'V', 'D', 'B'};
  Opened tiny = open(tiny_file);
  ASSERT_TRUE(tiny.env.ok());
  EXPECT_EQ(body_text(tiny.env.value()), "VDB");
}

TEST(EnvelopeTest, VersionDispatch) {
  Bytes v2;
  append(v2, "VDBS");
  append_u32(v2, 2);
  append(v2, "old body");
  const Bytes v2_file = with_footer(v2);
  Opened o2 = open(v2_file);
  ASSERT_TRUE(o2.env.ok());
  EXPECT_EQ(o2.env.value().version, 2u);
  EXPECT_EQ(body_text(o2.env.value()), "old body");
  EXPECT_FALSE(o2.meta.has_value());

  Bytes v4 = v2;
  v4[4] = 4;
  Opened o4 = open(with_footer(v4));
  ASSERT_FALSE(o4.env.ok());
  EXPECT_EQ(o4.env.error().to_string(),
            "Serialization error: unsupported segment snapshot version 4");

  const Bytes bare_file = with_footer(Bytes{'r', 'a', 'w', ' ', 'b', 'o', 'd', 'y', '!'});
  Opened bare = open(bare_file);
  ASSERT_TRUE(bare.env.ok());
  EXPECT_EQ(bare.env.value().version, 0u);
  EXPECT_EQ(body_text(bare.env.value()), "raw body!");
}

TEST(EnvelopeTest, ForeignOrBrokenTrailersLeaveTheWholeRegionAsBody) {
  const Bytes meta = encode_meta({7, true});
  const size_t whole = 4 + meta.size() + 12;
  struct Case {
    const char* name;
    Bytes content;
  };
  Bytes corrupt_meta = encode_meta({7, true});
  corrupt_meta.back() = 7;  // a bool byte of 7
  const Case cases[] = {
      {"trailer version 2", v3_content("BODY", meta, 2)},
      {"length larger than region", v3_content("BODY", meta, 1, 1000)},
      {"metadata does not decode", v3_content("BODY", corrupt_meta)},
  };
  for (const Case& c : cases) {
    Opened o = open(with_footer(c.content));
    ASSERT_TRUE(o.env.ok()) << c.name;
    EXPECT_EQ(o.env.value().version, 3u) << c.name;
    EXPECT_FALSE(o.meta.has_value()) << c.name;
    EXPECT_EQ(o.env.value().body.size(), whole) << c.name;
  }
  // A zero-length record that the metadata decoder rejects.
  Opened o = open(with_footer(v3_content("", {}, 1, 0)));
  ASSERT_TRUE(o.env.ok());
  EXPECT_FALSE(o.meta.has_value());
  EXPECT_EQ(o.env.value().body.size(), 12u);
}

TEST(EnvelopeTest, ParseMetadataBoundaries) {
  auto split = [](const Bytes& region, size_t accept_len) {
    return parse_snapshot_metadata(region, [&](std::span<const uint8_t> b) -> Status {
      if (b.size() == accept_len) return Status();
      return DBError::serialization("no");
    });
  };
  // M exactly fills the region in front of the trailer: an empty body.
  Bytes region = {1, 2, 3};
  append_u32(region, 3);
  append_u32(region, 1);
  append(region, "VDBM");
  MetadataSplit s = split(region, 3);
  EXPECT_TRUE(s.has_metadata);
  EXPECT_TRUE(s.body.empty());
  // One byte too long for the region.
  region[3] = 4;
  s = split(region, 4);
  EXPECT_FALSE(s.has_metadata);
  EXPECT_EQ(s.body.size(), region.size());
  // 11 bytes can never hold a trailer.
  s = split(Bytes(region.end() - 11, region.end()), 0);
  EXPECT_FALSE(s.has_metadata);
  // No decoder given: no metadata.
  EXPECT_FALSE(parse_snapshot_metadata(region, nullptr).has_metadata);
}

}  // namespace
}  // namespace dovadure::utils
