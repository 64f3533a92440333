#include "production/watch/verdict_line.hpp"

#include <nlohmann/json.hpp>

#include "production/listing/formats.hpp"

namespace calib::production {

namespace {

std::vector<std::string> codes(const std::string& reasonCodes) {
  std::vector<std::string> out;
  for (std::size_t at = 0; at < reasonCodes.size();) {
    const std::size_t comma = std::min(reasonCodes.find(',', at), reasonCodes.size());
    if (comma > at) out.push_back(reasonCodes.substr(at, comma - at));
    at = comma + 1;
  }
  return out;
}

}  // namespace

std::string verdictLine(const RunRow& row, const std::string& verdictBefore) {
  nlohmann::ordered_json line;
  line["chip"] = row.chip;
  line["config"] = row.config;
  line["verdict"] = row.verdict;
  line["reasons"] = codes(row.reasonCodes);
  line["run_id"] = row.runId;
  line["input"] = row.inputPath;
  line["outputs"] = row.outputDir;
  line["measured_at"] = row.measuredAt;
  line["sha256"] = row.inputSha256;
  line["board"] = row.board;
  line["link"] = row.link;
  line["criteria"] = row.criteria;
  line["details"] = row.reasons;
  line["judged_again"] = !verdictBefore.empty();
  if (!verdictBefore.empty()) line["verdict_before"] = verdictBefore;
  return jsonText(line) + "\n";
}

std::vector<std::string> verdictEnvironment(const RunRow& row) {
  return {"CALIB_CHIP=" + row.chip,
          "CALIB_CONFIG=" + row.config,
          "CALIB_VERDICT=" + row.verdict,
          "CALIB_REASONS=" + row.reasonCodes,
          "CALIB_RUN_ID=" + std::to_string(row.runId),
          "CALIB_INPUT=" + row.inputPath,
          "CALIB_OUTPUTS=" + row.outputDir,
          "CALIB_MEASURED_AT=" + row.measuredAt};
}

}  // namespace calib::production
