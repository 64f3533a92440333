// chips, history, export and report: the subcommands that read the
// database.
#include "production/cli/subcommands.hpp"
#include "production/listing/listing_commands.hpp"
#include "production/site/report_command.hpp"

namespace calib::production {

namespace {

void addDatabase(CLI::App& app, std::string& dbUrl) {
  app.add_option("--db", dbUrl, "sqlite:PATH or postgresql://…")->capture_default_str();
}

void addFormat(CLI::App& app, std::string& format, std::vector<std::string> names, bool required) {
  std::string help;
  for (std::size_t i = 0; i < names.size(); ++i) help += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
  CLI::Option* option = app.add_option("--format", format, help)->check(CLI::IsMember(names));
  if (required) {
    option->required();
  } else {
    option->capture_default_str();
  }
}

// After export and report, --config is the configuration filter; a stand
// configuration given there by habit would filter every record out.
std::string standConfigAsFilter(const std::string& pattern) {
  if (!pattern.ends_with(".toml")) return "";
  return "--config '" + pattern + "' after the command is the configurations' pattern; give the stand configuration "
         "before the command: calib-batch --config '" + pattern + "' …";
}

class ChipsSubcommand final : public Subcommand {
 public:
  ChipsSubcommand(CLI::App& app, const CliDefaults&) {
    addDatabase(app, dbUrl_);
    app.add_flag("--failed", failedOnly_, "only chips whose latest run did not pass");
    addFormat(app, format_, {"table", "csv", "json"}, false);
  }
  CommandOutcome run(const Printer& print) override {
    return listChips(dbUrl_, failedOnly_, *formatFromName(format_), print);
  }

 private:
  std::string dbUrl_ = kDefaultDatabase;
  bool failedOnly_ = false;
  std::string format_ = "table";
};

class HistorySubcommand final : public Subcommand {
 public:
  HistorySubcommand(CLI::App& app, const CliDefaults&) {
    addDatabase(app, dbUrl_);
    addFormat(app, format_, {"table", "csv", "json"}, false);
    app.add_flag("--all", all_, "every record, superseded ones (earlier analyses, verdicts, attempts) included");
    app.add_option("CHIP", chip_, "the chip, as its file names give it")->required();
  }
  CommandOutcome run(const Printer& print) override {
    return listHistory(dbUrl_, chip_, all_ ? Records::All : Records::Current, *formatFromName(format_), print);
  }

 private:
  std::string dbUrl_ = kDefaultDatabase;
  bool all_ = false;
  std::string format_ = "table";
  std::string chip_;
};

class ExportSubcommand final : public Subcommand {
 public:
  ExportSubcommand(CLI::App& app, const CliDefaults&) {
    addDatabase(app, dbUrl_);
    app.add_option("--what", what_, "runs or channels (each with its record's chip, stand fields, verdict, criteria)")
        ->capture_default_str()
        ->check(CLI::IsMember({"runs", "channels"}));
    addFormat(app, format_, {"csv", "json"}, false);
    app.add_flag("--all", all_,
                 "every record (superseded ones included) and every analysis's channels, not only the current "
                 "record of each measurement");
    app.add_option("--chip", request_.filter.chips, "only this chip (as its file names give it; repeatable)");
    app.add_option("--config", request_.filter.configPattern, "only configurations matching PATTERN (a glob)");
    app.add_option("--since", request_.filter.since, "only records measured on DATE (YYYY-MM-DD) or later");
    app.add_option("--until", request_.filter.until, "only records measured on DATE (YYYY-MM-DD) or earlier");
  }
  std::string usageError() const override {
    const RecordFilter& f = request_.filter;
    if (!f.since.empty() && !f.until.empty() && dayOf(f.since) > dayOf(f.until))
      return "--since " + f.since + " is after --until " + f.until + ": no day is both";
    return standConfigAsFilter(f.configPattern);
  }
  CommandOutcome run(const Printer& print) override {
    request_.what = what_ == "runs" ? ExportWhat::Runs : ExportWhat::Channels;
    request_.which = all_ ? Records::All : Records::Current;
    request_.format = *formatFromName(format_);
    // The dates as the records hold them (checked when parsed).
    for (std::string* day : {&request_.filter.since, &request_.filter.until})
      if (!day->empty()) *day = dayOf(*day).value_or(*day);
    return exportRecords(dbUrl_, request_, print);
  }

 private:
  std::string dbUrl_ = kDefaultDatabase;
  bool all_ = false;
  std::string what_ = "runs";
  std::string format_ = "csv";
  ExportRequest request_;
};

class ReportSubcommand final : public Subcommand {
 public:
  ReportSubcommand(CLI::App& app, const CliDefaults& defaults) : stand_(*defaults.stand) {
    command_.dbUrl = kDefaultDatabase;
    command_.outDir = "calib-out/report";
    addDatabase(app, command_.dbUrl);
    out_ = app.add_option("--out", command_.outDir,
                          "the report's directory (replaced whole) [the configuration's report, else report/ in its "
                          "output root; with --since or --config, a directory beside it named after them]")
               ->capture_default_str();
    app.add_option("--since", command_.since, "only runs measured on DATE (YYYY-MM-DD) or later");
    app.add_option("--config", command_.configPattern, "only configurations matching PATTERN (a glob)");
  }
  std::string usageError() const override { return standConfigAsFilter(command_.configPattern); }
  CommandOutcome run(const Printer& print) override {
    command_.configFile = stand_.path;
    command_.outIsDefault = out_->count() == 0;
    // A stand's report lives in its output root unless it says elsewhere.
    if (out_->count() == 0 && !stand_.setting("report"))
      if (const std::optional<std::string> root = stand_.setting("out")) command_.outDir = *root + "/report";
    return writeReport(command_, print);
  }

 private:
  ReportCommand command_;
  const StandConfig& stand_;
  CLI::Option* out_ = nullptr;
};

}  // namespace

std::unique_ptr<Subcommand> makeChips(CLI::App& app, const CliDefaults& d) {
  return std::make_unique<ChipsSubcommand>(app, d);
}
std::unique_ptr<Subcommand> makeHistory(CLI::App& app, const CliDefaults& d) {
  return std::make_unique<HistorySubcommand>(app, d);
}
std::unique_ptr<Subcommand> makeExport(CLI::App& app, const CliDefaults& d) {
  return std::make_unique<ExportSubcommand>(app, d);
}
std::unique_ptr<Subcommand> makeReport(CLI::App& app, const CliDefaults& d) {
  return std::make_unique<ReportSubcommand>(app, d);
}

}  // namespace calib::production
