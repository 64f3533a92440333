// calib-batch init: a stand's configuration written (calib-batch.toml) and
// its database made, after everything in it was checked: the criteria and
// the name pattern read, the output root and the database apart from the
// stand's trees.
#pragma once

#include <string>

#include "production/command/command.hpp"
#include "production/stand/stand_config.hpp"

namespace calib::production {

struct InitCommand {
  std::string file;  // the configuration to write
  bool force = false;  // write over an existing one
  StandSettings settings;  // as given; init makes the paths absolute
};

CommandOutcome initStand(const InitCommand& command, const Printer& print);

}  // namespace calib::production
