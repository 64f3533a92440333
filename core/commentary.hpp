// Whether a run prints the commentary of every input line and every window
// measurement on standard output (the set-up, channel and point lines are
// always printed).
#pragma once

namespace calib {

enum class Commentary { On, Off };

}  // namespace calib
