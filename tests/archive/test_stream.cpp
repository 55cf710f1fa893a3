#include "archive/stream.h"

#include <gtest/gtest.h>

#include <cstring>

#include "archive/errors.h"

namespace quillo::archive {
namespace {

TEST(memory_stream_test, write_seek_read_round_trip) {
  TMemoryStream s;
  s.WriteBuffer("abcdef", 6);
  EXPECT_EQ(s.Size(), 6);
  EXPECT_EQ(s.Position(), 6);
  EXPECT_EQ(s.Seek(-2, soFromEnd), 4);
  char two[2];
  s.ReadBuffer(two, 2);
  EXPECT_EQ(std::memcmp(two, "ef", 2), 0);
  EXPECT_THROW(s.ReadBuffer(two, 1), EReadError);
}

TEST(memory_stream_test, copy_from_whole_source_when_count_is_zero) {
  TMemoryStream source({'x', 'y', 'z'});
  source.SetPosition(2);
  TMemoryStream target;
  EXPECT_EQ(target.CopyFrom(source, 0), 3);
  EXPECT_EQ(target.Data(), source.Data());
}

}  // namespace
}  // namespace quillo::archive
