// A disk that fills up while the writer works, made real: the writer runs in
// a child process whose files may not grow past a limit (RLIMIT_FSIZE), with
// SIGXFSZ ignored so that an over-long write comes back short instead of
// killing the process.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "archive/zip_writer.h"
#include "interop_support.h"

namespace quillo::archive::interop {
namespace {

struct ZipJob {
  std::string zipName;
  std::vector<std::string> files;
  std::string tempPath;
};

struct ChildOutcome {
  int exitCode = -1;    // 0: Zip returned; 1: it raised; -1: the child died
  std::string message;  // the error's text
};

std::int32_t RunJob(const ZipJob& job) {
  TZipWriter writer;
  writer.SetZipName(job.zipName);
  writer.TempPath = job.tempPath;
  writer.FilesList = job.files;
  return writer.Zip();
}

// Runs the job in a child process whose files may not exceed `limit` bytes.
ChildOutcome RunJobInChild(const ZipJob& job, std::optional<rlim_t> limit) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (limit) {
      const rlimit fileSize{*limit, *limit};
      ::setrlimit(RLIMIT_FSIZE, &fileSize);
    }
    std::signal(SIGXFSZ, SIG_IGN);
    std::string message;
    int code = 0;
    try {
      RunJob(job);
    } catch (const std::exception& error) {
      message = error.what();
      code = 1;
    }
    // A pipe is not a file: the size limit does not apply to it.
    const ssize_t written = ::write(fds[1], message.data(), message.size());
    ::_exit(written == static_cast<ssize_t>(message.size()) ? code : 3);
  }
  ::close(fds[1]);
  ChildOutcome outcome;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
    outcome.message.append(buffer, n);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

// Limits that cut the archive at different stages: before the first header,
// inside the data, inside the central directory, in the last byte of the
// end record.
std::vector<rlim_t> LimitsBelow(std::uintmax_t archiveSize) {
  return {0, 100, archiveSize / 2, archiveSize - 40, archiveSize - 1};
}

class full_disk_test : public ScratchFolderTest {
 protected:
  void SetUp() override {
    ScratchFolderTest::SetUp();
    std::filesystem::create_directory(Path("temp"));
    WriteFileWithTime(Path("LEIAME.TXT"), DatabaseLikeBytes(20000, 41),
                      LocalMoment(2024, 2, 1, 9, 0, 0));
    WriteFileWithTime(Path("PRODUTOS.ADT"), DatabaseLikeBytes(50000, 42),
                      LocalMoment(2024, 2, 1, 9, 0, 2));
    WriteFileWithTime(Path("FOTOS.ADM"), RandomBytes(200000, 43), LocalMoment(2024, 2, 1, 9, 0, 4));
  }

  ZipJob Job(const std::string& zipName, const std::vector<std::string>& names) const {
    ZipJob job{zipName, {}, Path("temp")};
    for (const std::string& name : names) job.files.push_back(Path(name));
    return job;
  }

  // What the run would write without a limit, measured on a copy.
  std::uintmax_t SizeWithoutLimit(ZipJob job, const std::string& existing) const {
    job.zipName = Path("probe.zip");
    if (!existing.empty()) std::filesystem::copy_file(existing, job.zipName);
    RunJob(job);
    const std::uintmax_t size = std::filesystem::file_size(job.zipName);
    std::filesystem::remove(job.zipName);
    return size;
  }

  void ExpectNoTemporaryFile() const {
    EXPECT_TRUE(NamesLike(Path("temp"), "VXQ", ".TMP").empty());
    EXPECT_TRUE(NamesLike(Folder(), "VXQ", ".TMP").empty());
  }
};

TEST_F(full_disk_test, new_archive_that_does_not_fit_is_deleted) {
  const ZipJob job = Job(Path("new.zip"), {"LEIAME.TXT", "PRODUTOS.ADT", "FOTOS.ADM"});
  const std::uintmax_t size = SizeWithoutLimit(job, "");
  for (const rlim_t limit : LimitsBelow(size)) {
    SCOPED_TRACE("limit " + std::to_string(limit) + " of " + std::to_string(size));
    const ChildOutcome outcome = RunJobInChild(job, limit);
    EXPECT_EQ(outcome.exitCode, 1) << outcome.message;
    EXPECT_EQ(outcome.message, "Not enough room to write archive");
    EXPECT_FALSE(std::filesystem::exists(job.zipName));
    ExpectNoTemporaryFile();
  }
  // The same child with room enough writes the archive: the limit, not the
  // harness, made the runs above fail.
  const ChildOutcome outcome = RunJobInChild(job, size);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.message;
  EXPECT_EQ(std::filesystem::file_size(job.zipName), size);
  EXPECT_EQ(InspectWithPython(job.zipName).testzip, "None");
}

TEST_F(full_disk_test, update_that_does_not_fit_leaves_the_old_archive_as_it_was) {
  const std::string archive = Path("old.zip");
  ASSERT_EQ(RunJob(Job(archive, {"LEIAME.TXT", "PRODUTOS.ADT"})), 2);
  const std::string before = ReadBytes(archive);
  // One newer file to compress again and one large new file.
  WriteFileWithTime(Path("PRODUTOS.ADT"), DatabaseLikeBytes(60000, 44),
                    LocalMoment(2024, 2, 1, 18, 0, 0));
  const ZipJob job = Job(archive, {"LEIAME.TXT", "PRODUTOS.ADT", "FOTOS.ADM"});
  const std::uintmax_t size = SizeWithoutLimit(job, archive);
  ASSERT_GT(size, before.size());
  for (const rlim_t limit : LimitsBelow(size)) {
    SCOPED_TRACE("limit " + std::to_string(limit) + " of " + std::to_string(size));
    const ChildOutcome outcome = RunJobInChild(job, limit);
    EXPECT_EQ(outcome.exitCode, 1) << outcome.message;
    EXPECT_EQ(outcome.message, "Not enough room to write archive");
    EXPECT_TRUE(ReadBytes(archive) == before) << "the old archive changed";
    EXPECT_FALSE(std::filesystem::exists(archive + "$$$"));
    ExpectNoTemporaryFile();
  }
  const ChildOutcome outcome = RunJobInChild(job, size);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.message;
  EXPECT_EQ(std::filesystem::file_size(archive), size);
  EXPECT_EQ(InspectWithPython(archive).testzip, "None");
  ExpectNoTemporaryFile();
}

}  // namespace
}  // namespace quillo::archive::interop
