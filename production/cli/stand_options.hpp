// The stand configuration (calib-batch.toml) as defaults of a parsed
// command line: each setting goes to the option it stands for unless the
// command line gave that option. The stand's paths are the commands' own
// to take when given none (missingPaths, subcommands.hpp).
#pragma once

#include <CLI/CLI.hpp>

#include "production/stand/stand_config.hpp"
#include "support/result.hpp"

namespace calib::production {

// Applies config to command and to its subcommands that were parsed. A
// value an option refuses is a failure naming the file and the key.
Result<void> applyStandConfig(CLI::App& command, const StandConfig& config);

}  // namespace calib::production
