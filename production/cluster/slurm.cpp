#include "production/slurm.hpp"

#include <charconv>
#include <sstream>

namespace calib::production {

namespace {

// How long a Slurm command may take (a busy controller answers slowly);
// a submission, which sbatch itself retries, longer.
constexpr double kCommandSeconds = 120;
constexpr double kSubmitSeconds = 600;

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) text.pop_back();
  return text;
}

// The lines of text, without empty ones.
std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!trimmed(line).empty()) out.push_back(trimmed(line));
  return out;
}

}  // namespace

std::string slurmFilename(const std::string& path) {
  std::string out;
  for (char c : path) out += c == '%' ? std::string("%%") : std::string(1, c);
  return out;
}

std::optional<std::string> Slurm::run(std::vector<std::string> argv, std::string& error, bool submission) {
  ChildCommand command;
  command.argv = std::move(argv);
  command.searchPath = true;
  const std::optional<CommandResult> ran =
      runCommand(processes_, command, submission ? kSubmitSeconds : kCommandSeconds, error, submission);
  if (!ran) return std::nullopt;
  if (ran->terminationSignal) terminationSignal_ = ran->terminationSignal;
  if (ran->terminationSignal && !submission) {
    error = "stopped by signal " + std::to_string(ran->terminationSignal);
    return std::nullopt;
  }
  if (ran->exit.exitStatus == 0) return ran->out;
  // squeue -j of a job the controller has forgotten.
  if (ran->err.find("Invalid job id specified") != std::string::npos) return std::string();
  error = "'" + command.argv[0] + "' " + (ran->timedOut ? "gave no answer in time" : describeExit(ran->exit)) +
          (trimmed(ran->err).empty() ? "" : ": " + trimmed(ran->err));
  return std::nullopt;
}

std::optional<std::string> Slurm::submit(const std::vector<std::string>& args, std::string& error) {
  std::vector<std::string> argv{"sbatch", "--parsable"};
  argv.insert(argv.end(), args.begin(), args.end());
  const std::optional<std::string> out = run(argv, error, true);
  if (!out) return std::nullopt;
  // "57" or "57;cluster".
  std::string id = trimmed(*out);
  if (const auto semicolon = id.find(';'); semicolon != std::string::npos) id.resize(semicolon);
  if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos) {
    error = "sbatch answered '" + trimmed(*out) + "', not a job id";
    return std::nullopt;
  }
  return id;
}

std::optional<std::map<std::size_t, std::string>> Slurm::queuedTasks(const std::string& arrayJob, std::string& error) {
  const std::optional<std::string> out = run({"squeue", "-h", "-r", "-j", arrayJob, "-o", "%K %T"}, error);
  if (!out) return std::nullopt;
  std::map<std::size_t, std::string> tasks;
  for (const std::string& line : lines(*out)) {
    const auto space = line.find(' ');
    std::size_t index = 0;
    const auto [end, ec] = std::from_chars(line.data(), line.data() + std::min(space, line.size()), index);
    if (ec == std::errc() && space != std::string::npos) tasks[index] = line.substr(space + 1);
  }
  return tasks;
}

std::optional<std::string> Slurm::queuedState(const std::string& job, std::string& error) {
  const std::optional<std::string> out = run({"squeue", "-h", "-j", job, "-o", "%T"}, error);
  if (!out) return std::nullopt;
  const std::vector<std::string> states = lines(*out);
  return states.empty() ? std::string() : states.front();
}

std::optional<std::vector<std::string>> Slurm::queuedNamed(const std::vector<std::string>& names, std::string& error) {
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "" : ",") + name;
  const std::optional<std::string> out = run({"squeue", "-h", "--name=" + list, "-o", "%i"}, error);
  if (!out) return std::nullopt;
  return lines(*out);
}

bool Slurm::cancel(const std::string& job, std::string& error) { return run({"scancel", job}, error).has_value(); }

std::optional<std::size_t> Slurm::maxArraySize(std::string& error) {
  const std::optional<std::string> out = run({"scontrol", "show", "config"}, error);
  if (!out) return std::nullopt;
  for (const std::string& line : lines(*out)) {
    if (!line.starts_with("MaxArraySize")) continue;
    const auto start = line.find_first_not_of(" =", line.find('='));
    std::size_t size = 0;
    if (start != std::string::npos &&
        std::from_chars(line.data() + start, line.data() + line.size(), size).ec == std::errc())
      return size;
  }
  return std::size_t{1001};  // Slurm's default
}

}  // namespace calib::production
