#pragma once

// Helpers for the archive tests: table-like file contents, file times by
// calendar, and Python's zipfile as an independent reader of results.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/files.h"

namespace quillo::archive::testing {

using quillo::testing::CommandResult;
using quillo::testing::ReadFileText;
using quillo::testing::RunShell;
using quillo::testing::TempFolder;
using quillo::testing::WriteFileText;

// Sets the last-write time to a local calendar time.
void SetModified(const std::string& path, int year, int month, int day, int hour, int minute,
                 int second);

// Text that compresses well, like records of a table.
std::string RecordLikeText(std::size_t bytes, unsigned seed = 1);

// Runs Python's zipfile on an archive: testzip() must report nothing, and
// one line per entry comes back: "name|size|crc|Y-M-D h:m:s|method".
std::vector<std::string> PythonZipListing(const std::string& archive);

}  // namespace quillo::archive::testing
