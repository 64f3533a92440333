// The results files kept with the analyses: compressed when recorded, read
// back for the report's gain curves and the baselines of older records.
#include <zstd.h>

#include "production/store/results_blob.hpp"
#include "production/store/store.hpp"

namespace calib::production {

Blob compressedResults(const std::string& text) {
  Blob blob;
  if (text.empty()) return blob;
  blob.bytes.resize(ZSTD_compressBound(text.size()));
  const std::size_t n = ZSTD_compress(blob.bytes.data(), blob.bytes.size(), text.data(), text.size(), 3);
  blob.bytes.resize(ZSTD_isError(n) ? 0 : n);
  return blob;
}

Result<std::string> decompressedResults(const std::string& bytes) {
  const unsigned long long size = ZSTD_getFrameContentSize(bytes.data(), bytes.size());
  if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN)
    return failed("the stored results are not a zstd frame of known size");
  if (size > kMaxResultsBytes)
    return failed("the stored results hold " + std::to_string(size) + " bytes, more than a results file can");
  std::string text(static_cast<std::size_t>(size), '\0');
  const std::size_t n = ZSTD_decompress(text.data(), text.size(), bytes.data(), bytes.size());
  if (ZSTD_isError(n)) return failed(std::string("the stored results cannot be decompressed: ") + ZSTD_getErrorName(n));
  text.resize(n);
  return text;
}

Result<std::map<std::int64_t, Result<std::string>>> Store::resultsFiles(const std::vector<std::int64_t>& analysisIds) {
  std::map<std::int64_t, Result<std::string>> files;
  if (analysisIds.empty()) return files;
  std::string list;
  std::vector<Value> params;
  for (const std::int64_t id : analysisIds) {
    params.emplace_back(id);
    list += (list.empty() ? "$" : ", $") + std::to_string(params.size());
  }
  const Result<std::vector<Row>> rows =
      db_->run("SELECT run_id, results_zstd FROM run WHERE results_zstd IS NOT NULL AND run_id IN (" + list + ")",
               params);
  if (!rows) return rows.error();
  for (const Row& row : *rows) {
    const Blob* blob = std::get_if<Blob>(&row.at(1));
    files.emplace(asInt(row.at(0)).value_or(0),
                  blob ? decompressedResults(blob->bytes) : Result<std::string>(failed("the stored results are not bytes")));
  }
  return files;
}

}  // namespace calib::production
