// calib-batch watch: a stand's trees watched until stopped. Every file that
// comes is taken once complete (batch/readiness.hpp), analysed by calib,
// several at once, and recorded as run records it; each verdict is one JSON
// line on standard output (verdict_line.hpp) and, with --on-verdict, the
// input of a program. At start it catches up with what came while it was
// down. inotify says what changes; a rescan every so often finds what it
// cannot see (network file systems), and with --poll only rescans do.
//
// SIGTERM or SIGINT: no new file is taken, the running calibs have the
// grace time to finish (then they are stopped and not recorded), what
// finished is recorded, and it ends with status 0. SIGHUP: the
// configuration and the criteria are read again. One watch per output root.
#pragma once

#include <functional>
#include <string>

#include "production/batch/context.hpp"
#include "production/command/command.hpp"

namespace calib::production {

struct WatchCommand {
  BatchOptions batch;
  double rescanSeconds = 300;
  bool poll = false;           // rescans only, no inotify
  std::string onVerdict;       // a program run with each verdict; empty: none
  std::string reportDir;       // the report kept up to date there; empty: none
  double reportEverySeconds = 300;
  double graceSeconds = 60;
};

// The command as its configuration now reads (SIGHUP).
using WatchReload = std::function<Result<WatchCommand>()>;

CommandOutcome watchStand(const WatchCommand& command, const Printer& print, const WatchReload& reload);

}  // namespace calib::production
