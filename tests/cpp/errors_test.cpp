#include "utils/errors.hpp"

#include <cerrno>

#include <gtest/gtest.h>

#include "utils/types.hpp"

namespace dovadure::utils {
namespace {

TEST(DBErrorTest, DisplayTextsOfEveryVariant) {
  EXPECT_EQ(DBError::not_found(7).to_string(), "Point with ID 7 not found");
  EXPECT_EQ(DBError::already_exists(18446744073709551615ull).to_string(),
            "Point with ID 18446744073709551615 already exists");
  EXPECT_EQ(DBError::dimension_mismatch(128, 3).to_string(),
            "Vector length mismatch: expected 128, got 3");
  EXPECT_EQ(DBError::io("failed to write whole buffer").to_string(),
            "I/O error: failed to write whole buffer");
  EXPECT_EQ(DBError::serialization("segment snapshot checksum mismatch").to_string(),
            "Serialization error: segment snapshot checksum mismatch");
  EXPECT_EQ(DBError::wal_corruption("checksum mismatch").to_string(),
            "WAL corruption: checksum mismatch");
  EXPECT_EQ(DBError::invalid_payload("x").to_string(), "Invalid payload: x");
  EXPECT_EQ(DBError::search_failed("Segment rebuild already in progress.").to_string(),
            "Search failed: Segment rebuild already in progress.");
  EXPECT_EQ(DBError::memory_cap_exceeded("rss_bytes=2 cap_bytes=1").to_string(),
            "Memory cap exceeded: rss_bytes=2 cap_bytes=1");
}

TEST(DBErrorTest, OsErrorsCarryTheSystemDescription) {
  DBError e = DBError::io_errno(ENOENT);
  EXPECT_EQ(e.kind(), DBErrorKind::Io);
  EXPECT_EQ(e.os_code(), ENOENT);
  EXPECT_EQ(e.to_string(), "I/O error: No such file or directory (os error 2)");
}

TEST(DBErrorTest, ResultCarriesValueOrError) {
  Result<int> good = 5;
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(good.value(), 5);
  Result<int> bad = DBError::not_found(1);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind(), DBErrorKind::NotFound);

  auto propagate = [](bool fail) -> Status {
    DOVADURE_TRY(fail ? Status(DBError::search_failed("inner")) : Status());
    return Status();
  };
  EXPECT_TRUE(propagate(false).ok());
  EXPECT_EQ(propagate(true).error().to_string(), "Search failed: inner");
}

TEST(DistanceMetricTest, TagsAndNames) {
  EXPECT_EQ(metric_from_tag(2), DistanceMetric::Euclidean);
  EXPECT_EQ(metric_from_tag(0), DistanceMetric::Cosine);
  EXPECT_FALSE(metric_from_tag(3).has_value());
  EXPECT_EQ(metric_name(DistanceMetric::Dot), "Dot");
  EXPECT_EQ(metric_tag(DistanceMetric::Euclidean), 2u);
}

}  // namespace
}  // namespace dovadure::utils
