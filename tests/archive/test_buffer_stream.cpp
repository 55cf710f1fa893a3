#include "archive/buffer_stream.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "archive/errors.h"

namespace quillo::archive {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t size, std::uint8_t seed = 0) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
  return bytes;
}

std::int32_t Int(std::size_t n) {
  return static_cast<std::int32_t>(n);
}

// A memory stream that records every call made to it, and that can be told to
// take only a limited number of bytes in total (a disk that fills up).
class RecordingStream : public TStream {
 public:
  explicit RecordingStream(Bytes initial = {}, std::int64_t capacity = -1)
      : memory_(std::move(initial)), capacity_(capacity) {}

  std::int32_t Read(void* buffer, std::int32_t count) override {
    readSizes.push_back(count);
    return memory_.Read(buffer, count);
  }
  std::int32_t Write(const void* buffer, std::int32_t count) override {
    writeSizes.push_back(count);
    std::int32_t allowed = count;
    if (capacity_ >= 0) {
      const std::int64_t room = std::max<std::int64_t>(capacity_ - memory_.Position(), 0);
      allowed = static_cast<std::int32_t>(std::min<std::int64_t>(count, room));
    }
    return memory_.Write(buffer, allowed);
  }
  std::int64_t Seek(std::int64_t offset, int origin) override {
    ++seekCalls;
    return memory_.Seek(offset, origin);
  }

  const Bytes& Data() const { return memory_.Data(); }

  std::vector<std::int32_t> readSizes;
  std::vector<std::int32_t> writeSizes;
  int seekCalls = 0;

 private:
  TMemoryStream memory_;
  std::int64_t capacity_;
};

// ---------------------------------------------------------------------------
// Writing

TEST(buffered_stream_test, small_write_stays_in_buffer_until_release) {
  RecordingStream file(Pattern(10));
  {
    TS_BufferStream stream(file);
    stream.Seek(4, soFromBeginning);
    EXPECT_EQ(stream.Write("abc", 3), 3);
    EXPECT_EQ(stream.Position(), 7);
    EXPECT_TRUE(file.writeSizes.empty());
    EXPECT_EQ(file.Data(), Pattern(10));
  }
  ASSERT_EQ(file.writeSizes, std::vector<std::int32_t>{3});
  Bytes expected = Pattern(10);
  std::memcpy(expected.data() + 4, "abc", 3);
  EXPECT_EQ(file.Data(), expected);
}

TEST(buffered_stream_test, writes_reach_the_file_in_whole_buffers) {
  struct Case {
    std::vector<std::size_t> writes;              // sizes of consecutive Write calls
    std::vector<std::int32_t> expectedCalls;      // what the file sees before release
    std::vector<std::int32_t> callsAfterRelease;  // and in total
  };
  const Case cases[] = {
      {{8192}, {8192}, {8192}},
      {{8193}, {8192}, {8192, 1}},
      {{8191}, {}, {8191}},
      {{8191, 1}, {8192}, {8192}},
      {{100, 8092, 5}, {8192}, {8192, 5}},
      {{3 * 8192 + 5}, {8192, 8192, 8192}, {8192, 8192, 8192, 5}},
      {{0}, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.writes));
    RecordingStream file;
    Bytes all;
    {
      TS_BufferStream stream(file);
      for (std::size_t size : c.writes) {
        const Bytes chunk = Pattern(size, static_cast<std::uint8_t>(all.size()));
        EXPECT_EQ(stream.Write(chunk.data(), Int(size)), Int(size));
        all.insert(all.end(), chunk.begin(), chunk.end());
      }
      EXPECT_EQ(file.writeSizes, c.expectedCalls);
      EXPECT_EQ(stream.Position(), Int(all.size()));
    }
    EXPECT_EQ(file.writeSizes, c.callsAfterRelease);
    EXPECT_EQ(file.Data(), all);
  }
}

TEST(buffered_stream_test, write_of_exact_buffer_size_leaves_stream_empty_for_next_read) {
  RecordingStream file(Pattern(10000));
  TS_BufferStream stream(file);
  const Bytes block(8192, 0xAB);
  ASSERT_EQ(stream.Write(block.data(), 8192), 8192);
  ASSERT_EQ(file.writeSizes.size(), 1u);
  std::uint8_t next = 0;
  ASSERT_EQ(stream.Read(&next, 1), 1);
  EXPECT_EQ(next, Pattern(10000)[8192]);
  // The read is a fresh fill right after the flushed block, nothing more was written.
  EXPECT_EQ(file.writeSizes.size(), 1u);
  EXPECT_EQ(file.readSizes, std::vector<std::int32_t>{8192});
}

TEST(buffered_stream_test, custom_buffer_size_sets_the_transfer_size) {
  RecordingStream file;
  {
    TS_BufferStream stream(file, 16);
    const Bytes data = Pattern(40);
    EXPECT_EQ(stream.Write(data.data(), 40), 40);
  }
  EXPECT_EQ(file.writeSizes, (std::vector<std::int32_t>{16, 16, 8}));
  EXPECT_EQ(file.Data(), Pattern(40));
  EXPECT_THROW(TS_BufferStream(file, 0), EInvalidArgument);
}

// ---------------------------------------------------------------------------
// Reading

TEST(buffered_stream_test, read_past_end_returns_what_is_there_then_zero) {
  RecordingStream file(Pattern(40));
  TS_BufferStream stream(file);
  Bytes out(100);
  EXPECT_EQ(stream.Read(out.data(), 100), 40);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 40, Pattern(40).begin()));
  EXPECT_EQ(stream.Read(out.data(), 100), 0);
  EXPECT_EQ(stream.Position(), 40);
}

TEST(buffered_stream_test, read_at_end_tries_the_underlying_stream_again_later) {
  RecordingStream file(Pattern(4));
  TS_BufferStream stream(file);
  Bytes out(10);
  EXPECT_EQ(stream.Read(out.data(), 10), 4);
  // Someone appends to the file behind the stream's back at its current end.
  file.Write("xy", 2);
  file.Seek(4, soFromBeginning);
  EXPECT_EQ(stream.Read(out.data(), 10), 2);
  EXPECT_EQ(out[0], 'x');
}

TEST(buffered_stream_test, large_read_is_served_in_buffer_sized_calls) {
  const Bytes content = Pattern(20000);
  RecordingStream file(content);
  TS_BufferStream stream(file);
  Bytes out(20000);
  ASSERT_EQ(stream.Read(out.data(), 20000), 20000);
  EXPECT_EQ(out, content);
  EXPECT_EQ(file.readSizes, (std::vector<std::int32_t>{8192, 8192, 8192}));
}

TEST(buffered_stream_test, small_reads_cost_one_fill_per_buffer) {
  const Bytes content = Pattern(9000);
  RecordingStream file(content);
  TS_BufferStream stream(file);
  Bytes out;
  std::uint8_t field[3];
  while (stream.Read(field, 3) == 3) out.insert(out.end(), field, field + 3);
  EXPECT_EQ(out, content);
  EXPECT_EQ(file.readSizes, (std::vector<std::int32_t>{8192, 8192, 8192}));
}

TEST(buffered_stream_test, read_after_write_returns_the_bytes_that_follow) {
  const Bytes content = Pattern(100);
  RecordingStream file(content);
  TS_BufferStream stream(file);
  stream.Seek(10, soFromBeginning);
  ASSERT_EQ(stream.Write("WXYZ", 4), 4);
  std::uint8_t next[3];
  ASSERT_EQ(stream.Read(next, 3), 3);
  EXPECT_EQ(Bytes(next, next + 3), Bytes(content.begin() + 14, content.begin() + 17));
  EXPECT_EQ(stream.Position(), 17);
  EXPECT_EQ(std::memcmp(file.Data().data() + 10, "WXYZ", 4), 0);
}

TEST(buffered_stream_test, write_after_read_lands_at_logical_position) {
  RecordingStream file(Pattern(100));
  {
    TS_BufferStream stream(file);
    std::uint8_t head[10];
    ASSERT_EQ(stream.Read(head, 10), 10);  // the buffer now holds all 100 bytes
    ASSERT_EQ(stream.Write("!", 1), 1);
    EXPECT_EQ(stream.Position(), 11);
  }
  Bytes expected = Pattern(100);
  expected[10] = '!';
  EXPECT_EQ(file.Data(), expected);
}

// ---------------------------------------------------------------------------
// Seeking and size

TEST(buffered_stream_test, seek_to_same_position_keeps_read_ahead) {
  RecordingStream file(Pattern(100));
  TS_BufferStream stream(file);
  std::uint8_t byte = 0;
  ASSERT_EQ(stream.Read(&byte, 1), 1);
  EXPECT_EQ(stream.Seek(1, soFromBeginning), 1);
  EXPECT_EQ(stream.Seek(0, soFromCurrent), 1);
  ASSERT_EQ(stream.Read(&byte, 1), 1);
  EXPECT_EQ(file.readSizes.size(), 1u);
  // A seek that moves drops it: the next read fills again.
  EXPECT_EQ(stream.Seek(0, soFromBeginning), 0);
  ASSERT_EQ(stream.Read(&byte, 1), 1);
  EXPECT_EQ(byte, Pattern(100)[0]);
  EXPECT_EQ(file.readSizes.size(), 2u);
}

TEST(buffered_stream_test, position_queries_do_not_touch_the_file) {
  RecordingStream file(Pattern(100));
  TS_BufferStream stream(file);
  const int seeksAfterCreate = file.seekCalls;
  std::uint8_t bytes[5];
  stream.Read(bytes, 5);
  stream.Write("ab", 2);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(stream.Position(), 7);
  EXPECT_EQ(file.seekCalls, seeksAfterCreate + 1);  // only the move to write at 5
}

TEST(buffered_stream_test, seek_to_same_position_keeps_pending_bytes) {
  RecordingStream file;
  TS_BufferStream stream(file);
  stream.Write("abc", 3);
  EXPECT_EQ(stream.Seek(3, soFromBeginning), 3);
  EXPECT_EQ(stream.Seek(0, soFromEnd), 3);
  EXPECT_TRUE(file.writeSizes.empty());
}

TEST(buffered_stream_test, seek_from_end_counts_pending_bytes_past_old_end) {
  RecordingStream file(Pattern(10));
  TS_BufferStream stream(file);
  stream.Seek(8, soFromBeginning);
  stream.Write("12345", 5);  // logical end is now 13, the file still has 10
  EXPECT_EQ(stream.Seek(0, soFromEnd), 13);
  EXPECT_TRUE(file.writeSizes.empty());
  EXPECT_EQ(stream.Size(), 13);
  EXPECT_EQ(stream.Seek(-3, soFromEnd), 10);
  EXPECT_EQ(file.Data().size(), 13u);
}

TEST(buffered_stream_test, seek_from_end_ignores_offset_sign) {
  RecordingStream file(Pattern(100));
  TS_BufferStream stream(file);
  EXPECT_EQ(stream.Seek(-22, soFromEnd), 78);
  EXPECT_EQ(stream.Seek(0, soFromBeginning), 0);
  EXPECT_EQ(stream.Seek(22, soFromEnd), 78);
}

TEST(buffered_stream_test, seek_from_current_while_reading_uses_logical_position) {
  const Bytes content = Pattern(100);
  RecordingStream file(content);
  TS_BufferStream stream(file);
  std::uint8_t byte = 0;
  stream.Read(&byte, 1);
  EXPECT_EQ(stream.Seek(9, soFromCurrent), 10);
  stream.Read(&byte, 1);
  EXPECT_EQ(byte, content[10]);
  EXPECT_EQ(stream.Seek(-5, soFromCurrent), 6);
  stream.Read(&byte, 1);
  EXPECT_EQ(byte, content[6]);
}

TEST(buffered_stream_test, size_is_larger_of_file_and_logical_end_and_keeps_position) {
  RecordingStream file(Pattern(50));
  TS_BufferStream stream(file);
  std::uint8_t bytes[20];
  stream.Read(bytes, 20);
  EXPECT_EQ(stream.Size(), 50);
  EXPECT_EQ(stream.Position(), 20);
  std::uint8_t next = 0;
  stream.Read(&next, 1);
  EXPECT_EQ(next, Pattern(50)[20]);
}

TEST(buffered_stream_test, unknown_seek_origin_is_an_error) {
  RecordingStream file;
  TS_BufferStream stream(file);
  try {
    stream.Seek(0, 3);
    FAIL() << "no error";
  } catch (const EStreamError& error) {
    EXPECT_STREQ(error.what(), "Invalid seek origin (3)");
  }
}

TEST(buffered_stream_test, set_size_changes_nothing) {
  RecordingStream file(Pattern(30));
  TS_BufferStream stream(file);
  stream.SetSize(5);
  EXPECT_EQ(stream.Size(), 30);
  EXPECT_EQ(file.Data().size(), 30u);
}

// The buffered stream must behave exactly as the stream below it, whatever
// mix of reads, writes and seeks it gets.
TEST(buffered_stream_test, random_operations_match_an_unbuffered_stream) {
  std::mt19937 random(1234);
  for (int round = 0; round < 20; ++round) {
    const Bytes initial = Pattern(random() % 30000, static_cast<std::uint8_t>(round));
    TMemoryStream plain(initial);
    RecordingStream file(initial);
    {
      TS_BufferStream stream(file, round % 2 ? 8192 : 100);
      for (int op = 0; op < 300; ++op) {
        const std::int32_t count = Int(random() % (op % 10 == 0 ? 20000 : 40));
        switch (random() % 4) {
          case 0: {
            Bytes a(static_cast<std::size_t>(count)), b(a.size());
            ASSERT_EQ(stream.Read(a.data(), count), plain.Read(b.data(), count));
            ASSERT_EQ(a, b);
            break;
          }
          case 1: {
            const Bytes data =
                Pattern(static_cast<std::size_t>(count), static_cast<std::uint8_t>(op));
            ASSERT_EQ(stream.Write(data.data(), count), plain.Write(data.data(), count));
            break;
          }
          case 2: {
            const std::int64_t size = plain.Size();
            const std::int64_t to = size ? static_cast<std::int64_t>(random() % size) : 0;
            const int origin = static_cast<int>(random() % 3);
            const std::int64_t offset = origin == soFromBeginning ? to
                                        : origin == soFromCurrent ? to - plain.Position()
                                                                  : to - size;
            ASSERT_EQ(stream.Seek(offset, origin), plain.Seek(offset, origin));
            break;
          }
          default:
            ASSERT_EQ(stream.Size(), plain.Size());
            break;
        }
        ASSERT_EQ(stream.Position(), plain.Position());
      }
      stream.Close();
    }
    EXPECT_EQ(file.Data(), plain.Data());
  }
}

// ---------------------------------------------------------------------------
// Failures of the stream below

TEST(buffered_stream_test, refused_flush_inside_a_write_returns_short_count) {
  struct Case {
    const char* what;
    std::int64_t capacity;
    std::size_t pendingBefore;  // bytes written by an earlier call
    std::size_t write;          // the call whose flush is refused
    std::int32_t expected;      // bytes of that call that really went on
  };
  const Case cases[] = {
      {"flush in the middle of a large write", 100, 0, 20000, 100},
      {"flush of the last bytes of a request", 8100, 0, 8192, 8100},
      {"request completing an earlier partial buffer", 8150, 50, 8142, 8100},
      {"file refuses even the earlier pending bytes", 100, 8000, 192, 0},
      {"second buffer refused", 8192 + 10, 0, 3 * 8192, 8192 + 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecordingStream file({}, c.capacity);
    TS_BufferStream stream(file);
    const Bytes earlier = Pattern(c.pendingBefore);
    ASSERT_EQ(stream.Write(earlier.data(), Int(earlier.size())), Int(earlier.size()));
    const Bytes data = Pattern(c.write, 1);
    EXPECT_EQ(stream.Write(data.data(), Int(c.write)), c.expected);
    EXPECT_EQ(stream.Position(), c.capacity);
    Bytes sent = earlier;
    sent.insert(sent.end(), data.begin(), data.end());
    sent.resize(static_cast<std::size_t>(c.capacity));
    EXPECT_EQ(file.Data(), sent);
    const Bytes more = Pattern(9000);
    EXPECT_THROW(stream.WriteBuffer(more.data(), 9000), EWriteError);
    // Even with nothing left pending, Close reports that bytes were lost.
    EXPECT_THROW(stream.Close(), EWriteError);
  }
}

TEST(buffered_stream_test, seek_that_cannot_flush_raises_seek_error) {
  RecordingStream file({}, 2);
  TS_BufferStream stream(file);
  stream.Write("abcd", 4);
  try {
    stream.Seek(0, soFromBeginning);
    FAIL() << "no error";
  } catch (const EStreamError& error) {
    EXPECT_STREQ(error.what(), "Seek error");
  }
}

TEST(buffered_stream_test, close_reports_refused_pending_bytes) {
  RecordingStream file({}, 2);
  TS_BufferStream stream(file);
  ASSERT_EQ(stream.Write("abcd", 4), 4);
  try {
    stream.Close();
    FAIL() << "no error";
  } catch (const EWriteError& error) {
    EXPECT_STREQ(error.what(), "Could not write all buffered data");
  }
  EXPECT_EQ(file.Data(), (Bytes{'a', 'b'}));
  EXPECT_THROW(stream.Position(), EStreamError);
  char byte;
  EXPECT_THROW(stream.Read(&byte, 1), EStreamError);
  EXPECT_THROW(stream.Write("x", 1), EStreamError);
  EXPECT_NO_THROW(stream.Close());  // closing twice is harmless
}

TEST(buffered_stream_test, close_hands_on_pending_bytes_once) {
  RecordingStream file;
  {
    TS_BufferStream stream(file);
    stream.Write("abcd", 4);
    stream.Close();
    EXPECT_EQ(file.writeSizes, std::vector<std::int32_t>{4});
  }
  EXPECT_EQ(file.writeSizes, std::vector<std::int32_t>{4});
  EXPECT_EQ(file.Data(), (Bytes{'a', 'b', 'c', 'd'}));
}

TEST(buffered_stream_test, release_with_refused_bytes_does_not_throw) {
  RecordingStream file({}, 1);
  EXPECT_NO_THROW({
    TS_BufferStream stream(file);
    stream.Write("abcd", 4);
  });
  EXPECT_EQ(file.Data(), Bytes{'a'});
}

// ---------------------------------------------------------------------------
// TLFNFileStream

class lfn_file_stream_test : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("quillo_bs_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string PathOf(const std::string& name) const { return (folder_ / name).string(); }

  static void Put(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
  }
  static std::string Get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  std::filesystem::path folder_;
};

TEST_F(lfn_file_stream_test, create_empties_an_existing_file_and_writes_through) {
  const std::string path = PathOf("a long file name.bin");
  Put(path, "old content that must go");
  {
    TLFNFileStream stream(path, kModeCreate);
    EXPECT_EQ(stream.Size(), 0);
    stream.WriteBuffer("new", 3);
    EXPECT_EQ(Get(path), "");  // still in the buffer
  }
  EXPECT_EQ(Get(path), "new");
}

TEST_F(lfn_file_stream_test, read_modes_open_existing_file_unchanged) {
  const std::uint16_t modes[] = {kModeReadDenyWrite, kModeReadDenyNone, kModeReadCompat};
  const std::string path = PathOf("data.bin");
  const std::string content(20000, 'q');
  Put(path, content);
  for (std::uint16_t mode : modes) {
    SCOPED_TRACE(mode);
    {
      TLFNFileStream stream(path, mode, true);
      EXPECT_FALSE(stream.FlushToDiskOnRelease());  // nothing to write, nothing to flush
      EXPECT_EQ(stream.Size(), 20000);
      std::string read(20000, '\0');
      stream.ReadBuffer(read.data(), 20000);
      EXPECT_EQ(read, content);
    }
    EXPECT_EQ(Get(path), content);
  }
}

TEST_F(lfn_file_stream_test, missing_file_cannot_be_opened) {
  const std::string path = PathOf("missing.zip");
  for (std::uint16_t mode : {kModeReadDenyWrite, kModeReadDenyNone, kModeReadCompat}) {
    try {
      TLFNFileStream stream(path, mode);
      FAIL() << "opened a missing file";
    } catch (const EFOpenError& error) {
      EXPECT_EQ(std::string(error.what()), "Cannot open file " + path);
    }
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(lfn_file_stream_test, file_in_missing_folder_cannot_be_created) {
  const std::string path = PathOf("no such folder/new.zip");
  try {
    TLFNFileStream stream(path, kModeCreate);
    FAIL() << "created a file in a missing folder";
  } catch (const EFCreateError& error) {
    EXPECT_EQ(std::string(error.what()), "Cannot create file " + path);
  }
}

TEST_F(lfn_file_stream_test, undefined_mode_codes_are_refused) {
  const std::string path = PathOf("data.bin");
  Put(path, "x");
  EXPECT_THROW(TLFNFileStream(path, 0x03), EFOpenError);  // no such access
  EXPECT_THROW(TLFNFileStream(path, 0x50), EFOpenError);  // no such sharing
}

TEST_F(lfn_file_stream_test, read_write_mode_updates_in_place_and_flushes_on_request) {
  const std::string path = PathOf("data.bin");
  Put(path, "0123456789");
  {
    TLFNFileStream stream(path, kModeReadWrite | kModeShareDenyWrite, true);
    EXPECT_TRUE(stream.FlushToDiskOnRelease());
    stream.Seek(4, soFromBeginning);
    stream.WriteBuffer("ab", 2);
    stream.Close();
  }
  EXPECT_EQ(Get(path), "0123ab6789");
}

TEST_F(lfn_file_stream_test, handle_is_the_open_file_until_close) {
  const std::string path = PathOf("data.bin");
  TLFNFileStream stream(path, kModeCreate, true);
  EXPECT_TRUE(stream.FlushToDiskOnRelease());
  EXPECT_GE(stream.FileHandle(), 0);
  EXPECT_EQ(stream.FileHandle(), stream.File().NativeHandle());
  stream.WriteBuffer("abc", 3);
  stream.Close();
  EXPECT_EQ(stream.FileHandle(), -1);
  EXPECT_EQ(Get(path), "abc");
}

TEST_F(lfn_file_stream_test, writing_a_file_opened_for_reading_fails_on_close) {
  const std::string path = PathOf("data.bin");
  Put(path, "keep");
  TLFNFileStream stream(path, kModeReadDenyNone);
  EXPECT_EQ(stream.Write("xy", 2), 2);  // pending only
  try {
    stream.Close();
    FAIL() << "no error";
  } catch (const EWriteError& error) {
    EXPECT_EQ(std::string(error.what()), "Could not write all buffered data to file " + path);
  }
  EXPECT_EQ(stream.FileHandle(), -1);
  EXPECT_EQ(Get(path), "keep");
}

// A real full disk: a child process limited in file size writes through the
// stream; the write that hits the limit must come back short and Close must
// throw. Returns the child's findings as an exit code.
int WriteUnderFileSizeLimit(const std::string& path, rlim_t limit, std::size_t total,
                            std::int32_t expectedTaken) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit rl{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &rl);
    int result = 0;
    try {
      TLFNFileStream stream(path, kModeCreate);
      const Bytes data = Pattern(total);
      const std::int32_t taken = stream.Write(data.data(), Int(total));
      if (taken != expectedTaken) result |= 1;
      try {
        stream.Close();
        result |= 2;
      } catch (const EWriteError&) {
      }
    } catch (...) {
      result |= 4;
    }
    ::_exit(result);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST_F(lfn_file_stream_test, full_disk_gives_short_write_and_failing_close) {
  // The limit falls inside the first flushed buffer (the write comes back
  // short, and Close still reports the loss), and inside the bytes only Close
  // hands on (the write took them all into the buffer).
  EXPECT_EQ(WriteUnderFileSizeLimit(PathOf("a.bin"), 100, 20000, 100), 0);
  EXPECT_EQ(std::filesystem::file_size(PathOf("a.bin")), 100u);
  EXPECT_EQ(WriteUnderFileSizeLimit(PathOf("b.bin"), 8192 + 100, 9000, 9000), 0);
  EXPECT_EQ(std::filesystem::file_size(PathOf("b.bin")), 8192u + 100u);
}

}  // namespace
}  // namespace quillo::archive
