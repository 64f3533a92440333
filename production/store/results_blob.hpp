// The results file calib wrote, as the database keeps it: one zstd frame.
#pragma once

#include <string>

#include "production/store/database.hpp"
#include "support/result.hpp"

namespace calib::production {

// The text compressed; no bytes for no text.
Blob compressedResults(const std::string& text);

// A stored results file, decompressed; bounded as a file read is.
Result<std::string> decompressedResults(const std::string& bytes);

}  // namespace calib::production
