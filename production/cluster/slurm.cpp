#include "production/cluster/slurm.hpp"

#include <charconv>
#include <sstream>

namespace calib::production {

namespace {

// How long a Slurm command may take (a busy controller answers slowly);
// a submission, which sbatch itself retries, longer.
constexpr double kCommandSeconds = 120;
constexpr double kSubmitSeconds = 600;
// Slurm's MaxArraySize when its configuration does not say.
constexpr std::size_t kDefaultMaxArraySize = 1001;

// text without blanks and line ends around it.
std::string trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

std::string slurmFilename(const std::string& path) {
  std::string out;
  for (char c : path) out += c == '%' ? std::string("%%") : std::string(1, c);
  return out;
}

std::vector<std::string> outputLines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!trimmed(line).empty()) out.push_back(trimmed(line));
  return out;
}

Result<std::string> parseJobId(const std::string& sbatchOutput) {
  std::string id = trimmed(sbatchOutput);
  if (const auto semicolon = id.find(';'); semicolon != std::string::npos) id.resize(semicolon);
  if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos)
    return failed("sbatch answered '" + trimmed(sbatchOutput) + "', not a job id");
  return id;
}

std::map<std::size_t, std::string> parseQueuedTasks(const std::string& squeueOutput) {
  std::map<std::size_t, std::string> tasks;
  for (const std::string& line : outputLines(squeueOutput)) {
    const auto space = line.find(' ');
    std::size_t index = 0;
    const auto [end, ec] = std::from_chars(line.data(), line.data() + std::min(space, line.size()), index);
    if (ec == std::errc() && space != std::string::npos && end == line.data() + space)
      tasks[index] = line.substr(space + 1);
  }
  return tasks;
}

std::optional<std::size_t> parseMaxArraySize(const std::string& scontrolOutput) {
  for (const std::string& line : outputLines(scontrolOutput)) {
    if (!line.starts_with("MaxArraySize")) continue;
    const auto start = line.find_first_not_of(" =", line.find('='));
    std::size_t size = 0;
    if (start != std::string::npos &&
        std::from_chars(line.data() + start, line.data() + line.size(), size).ec == std::errc())
      return size;
  }
  return std::nullopt;
}

Result<std::string> Slurm::run(std::vector<std::string> argv, bool submission) {
  ChildCommand command;
  command.argv = std::move(argv);
  command.searchPath = true;
  const Result<CommandResult> ran =
      runCommand(processes_, command, submission ? kSubmitSeconds : kCommandSeconds, submission);
  if (!ran) return ran.error();
  if (ran->terminationSignal) {
    terminationSignal_ = ran->terminationSignal;
    if (!submission) return stoppedBy(ran->terminationSignal);
  }
  if (ran->exit.exitStatus == 0) return ran->out;
  // squeue -j of a job the controller has forgotten.
  if (ran->err.find("Invalid job id specified") != std::string::npos) return std::string();
  return failed("'" + command.argv[0] + "' " + (ran->timedOut ? "gave no answer in time" : describeExit(ran->exit)) +
                (trimmed(ran->err).empty() ? "" : ": " + trimmed(ran->err)));
}

Result<std::string> Slurm::submit(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"sbatch", "--parsable"};
  argv.insert(argv.end(), args.begin(), args.end());
  const Result<std::string> out = run(argv, true);
  if (!out) return out.error();
  return parseJobId(*out);
}

Result<std::map<std::size_t, std::string>> Slurm::queuedTasks(const std::string& arrayJob) {
  const Result<std::string> out = run({"squeue", "-h", "-r", "-j", arrayJob, "-o", "%K %T"});
  if (!out) return out.error();
  return parseQueuedTasks(*out);
}

Result<std::string> Slurm::queuedState(const std::string& job) {
  const Result<std::string> out = run({"squeue", "-h", "-j", job, "-o", "%T"});
  if (!out) return out.error();
  const std::vector<std::string> states = outputLines(*out);
  return states.empty() ? std::string() : states.front();
}

Result<std::vector<std::string>> Slurm::queuedNamed(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "" : ",") + name;
  const Result<std::string> out = run({"squeue", "-h", "--name=" + list, "-o", "%i"});
  if (!out) return out.error();
  return outputLines(*out);
}

Result<void> Slurm::cancel(const std::string& job) {
  const Result<std::string> out = run({"scancel", job});
  if (!out) return out.error();
  return {};
}

Result<std::size_t> Slurm::maxArraySize() {
  const Result<std::string> out = run({"scontrol", "show", "config"});
  if (!out) return out.error();
  return parseMaxArraySize(*out).value_or(kDefaultMaxArraySize);
}

}  // namespace calib::production
