#include <gtest/gtest.h>

#include <cerrno>

#include "error.h"

namespace brenvale {
namespace {

TEST(ErrorTest, DisplayTextsOfEveryKind) {
    EXPECT_EQ(Error::invalid_magic().to_string(), "invalid file magic: expected b\"BRVL\"");
    EXPECT_EQ(Error::invalid_magic().to_string().size(), 36u);
    EXPECT_EQ(Error::unsupported_version(3).to_string(), "unsupported version: 3");
    EXPECT_EQ(Error::mmap("x").to_string(), "mmap error: x");
    EXPECT_EQ(Error::compression("x").to_string(), "compression error: x");
    EXPECT_EQ(Error::decompression("x").to_string(), "decompression error: x");
    EXPECT_EQ(Error::invalid_data("").to_string(), "invalid data: ");
    EXPECT_EQ(Error::not_found("x").to_string(), "not found: x");
    EXPECT_EQ(Error::expired("x").to_string(), "expired: x");
    EXPECT_EQ(Error::already_exists("x").to_string(), "already exists: x");
    EXPECT_EQ(Error::segment_full().to_string(), "segment full (expansion needed)");
    EXPECT_EQ(Error::queue_already_open("x").to_string(), "queue already open: x");
    EXPECT_EQ(Error::queue_not_open("x").to_string(), "queue not open: x");
    EXPECT_EQ(Error::consumer_group_not_found("x").to_string(), "consumer group not found: x");
    EXPECT_EQ(Error::consumer_group_exists("x").to_string(), "consumer group already exists: x");
    EXPECT_EQ(Error::queue_closed("x").to_string(), "queue closed: x");
    EXPECT_EQ(Error::pending_full("x").to_string(), "pending entries full: x");
}

TEST(ErrorTest, TagsFollowKindOrder) {
    EXPECT_EQ(Error::io(ENOENT).tag(), 0);
    EXPECT_EQ(Error::invalid_magic().tag(), 1);
    EXPECT_EQ(Error::invalid_data("").tag(), 6);
    EXPECT_EQ(Error::segment_full().tag(), 10);
    EXPECT_EQ(Error::pending_full("").tag(), 16);
}

TEST(ErrorTest, IoTextCarriesPlatformDescriptionAndCode) {
    Error e = Error::io(ENOENT);
    EXPECT_EQ(e.to_string(), "I/O error: No such file or directory (os error 2)");
    EXPECT_TRUE(e.is_io_code(ENOENT));
    EXPECT_EQ(Error::io_message("failed to write whole buffer").to_string(),
              "I/O error: failed to write whole buffer");
    EXPECT_EQ(fmt::format("{}", invalid_data_fmt("dataset {}/{} is closed", "a", "b")),
              "invalid data: dataset a/b is closed");
}

Result<int> half(int v) {
    if (v % 2) return Error::invalid_data(fmt::format("odd {}", v));
    return v / 2;
}

Result<int> quarter(int v) {
    int h = BRVL_TRY(half(v));
    return BRVL_TRY(half(h));
}

TEST(ErrorTest, TryPropagatesTheFirstError) {
    ASSERT_TRUE(quarter(8).ok());
    EXPECT_EQ(*quarter(8), 2);
    auto r = quarter(6);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().to_string(), "invalid data: odd 3");
}

}  // namespace
}  // namespace brenvale
