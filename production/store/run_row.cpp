#include "production/store/run_row.hpp"

namespace calib::production {

namespace {

using R = RunRow;

constexpr RunColumn kColumns[] = {
    {"run_id", "r.run_id", "", &R::runId},
    {"chip", "c.serial", "", &R::chip},
    {"config", "r.config", "config", &R::config},
    {"detector", "r.detector", "detector", &R::detector, true},
    {"measured_at", "r.measured_at", "measured_at", &R::measuredAt},
    {"verdict", "r.verdict", "verdict", &R::verdict},
    {"reason_codes", "r.reason_codes", "reason_codes", &R::reasonCodes},
    {"reasons", "r.reasons", "reasons", &R::reasons},
    {"median_gain", "r.median_gain", "median_gain", &R::medianGain},
    {"gain_spread_percent", "r.gain_spread", "gain_spread", &R::gainSpread},
    {"worst_inl_percent", "r.worst_inl", "worst_inl", &R::worstInl},
    {"worst_inl_channel", "r.worst_inl_channel", "worst_inl_channel", &R::worstInlChannel},
    {"max_enc", "r.max_enc", "max_enc", &R::maxEnc},
    {"max_enc_channel", "r.max_enc_channel", "max_enc_channel", &R::maxEncChannel},
    {"channels_not_ok", "r.channels_not_ok", "channels_not_ok", &R::channelsNotOk},
    {"not_ok", "r.not_ok", "not_ok", &R::notOk},
    {"input_path", "r.input_path", "input_path", &R::inputPath},
    {"input_sha256", "r.input_sha256", "input_sha256", &R::inputSha256},
    {"analysis_version", "r.analysis_version", "analysis_version", &R::analysisVersion},
    {"criteria", "k.name || ' ' || k.version", "", &R::criteria},
    {"", "r.criteria_id", "", &R::criteriaId},
    {"analysed_at", "r.analysed_at", "analysed_at", &R::analysedAt},
    {"stand_date", "r.stand_date", "stand_date", &R::standDate, true},
    {"stand_time", "r.stand_time", "stand_time", &R::standTime, true},
    {"board", "r.board", "board", &R::board, true},
    {"link", "r.link", "link", &R::link, true},
    {"calib_exit", "r.calib_exit", "calib_exit", &R::calibExit},
    {"output_dir", "r.output_dir", "output_dir", &R::outputDir, true},
    {"superseded_by", "r.superseded_by", "", &R::supersededBy},
    {"analysis_id", "r.analysis_id", "", &R::analysisId},
    {"attempts", "r.attempts", "attempts", &R::attempts},
    {"judged_at", "r.judged_at", "judged_at", &R::judgedAt},
    {"median_gain_fitted", "r.median_gain_fitted", "median_gain_fitted", &R::medianGainFitted},
    {"", "r.input_bytes", "input_bytes", &R::inputBytes},
    {"", "r.compression", "compression", &R::compression, true},
};

}  // namespace

std::span<const RunColumn> runColumns() { return kColumns; }

CalibrationKey calibrationKey(const RunRow& row) {
  return CalibrationKey{row.runId,       row.chip,          row.config, row.measuredAt, row.inputSha256,
                        row.verdict != "error", !row.supersededBy.has_value()};
}

}  // namespace calib::production
