#include "production/site/site_pages.hpp"

#include <filesystem>

#include "production/command/command.hpp"
#include "production/rules/acceptance.hpp"
#include "production/site/channel_curves.hpp"
#include "production/site/gain_history.hpp"
#include "production/site/html.hpp"
#include "production/site/overview_html.hpp"
#include "production/site/trends_page.hpp"
#include "support/int_fields.hpp"

namespace calib::production {

namespace fs = std::filesystem;
using html::escape;
using html::fixed;
using html::number;

namespace {

constexpr int kChannels = 32;

constexpr const char* kStyle = R"css(
body { font-family: "DejaVu Sans", sans-serif; margin: 1.5em; color: #222; }
h1 { margin-bottom: 0.2em; } h2 { margin-top: 1.6em; border-bottom: 1px solid #ccc; }
.meta { color: #555; font-size: 90%; }
table { border-collapse: collapse; font-size: 88%; }
th, td { padding: 2px 8px; border-bottom: 1px solid #e4e4e4; text-align: left; vertical-align: top; }
td.num, th.num { text-align: right; font-variant-numeric: tabular-nums; }
th[data-key] { cursor: pointer; user-select: none; }
th[aria-sort="ascending"]::after { content: " \25B2"; } th[aria-sort="descending"]::after { content: " \25BC"; }
.verdict { font-weight: bold; padding: 0 4px; border-radius: 3px; }
.verdict.pass { color: #fff; background: #2e7d32; } .verdict.fail { color: #fff; background: #c62828; }
.verdict.error { color: #fff; background: #6d4c41; }
tr.status-ok td.status { color: #2e7d32; } tr.status-dead td.status, tr.status-saturated td.status { color: #c62828; font-weight: bold; }
tr:not(.status-ok) td.status { color: #c62828; }
.filters { margin: 0.6em 0; } .filters label { margin-right: 1em; }
.charts { display: flex; flex-wrap: wrap; gap: 12px; }
svg.chart { width: 420px; height: 180px; border: 1px solid #ddd; background: #fafafa; }
svg .title { font-size: 11px; font-weight: bold; } svg .tick { font-size: 9px; fill: #555; }
svg .tick.end { text-anchor: end; } svg .bar { fill: #4a78b5; } svg .axis { stroke: #888; }
svg .limit { stroke: #c62828; stroke-dasharray: 4 2; stroke-width: 1.5; } svg .limit-label { font-size: 9px; fill: #c62828; }
svg .current { fill: #1f4e99; } svg .previous { fill: none; stroke: #999; stroke-width: 1.2; }
.plots { display: flex; flex-wrap: wrap; gap: 6px; } .plots figure { margin: 0; font-size: 80%; }
.plots img { width: 200px; height: auto; border: 1px solid #ddd; }
.bar-cell { width: 120px; } .yieldbar { display: flex; height: 10px; width: 120px; }
.yieldbar span.pass { background: #2e7d32; } .yieldbar span.fail { background: #c62828; } .yieldbar span.error { background: #6d4c41; }
)css";

// Sorting and filtering of the chip table, from the rows' data-* values.
constexpr const char* kScript = R"js(
(function () {
  const table = document.getElementById('chips');
  const body = table.tBodies[0];
  const rows = Array.from(body.rows);
  const verdict = document.getElementById('verdict-filter');
  const config = document.getElementById('config-filter');
  const text = document.getElementById('text-filter');
  const shown = document.getElementById('shown-count');
  function filter() {
    const v = verdict.value, c = config.value, t = text.value.trim().toLowerCase();
    let n = 0;
    for (const row of rows) {
      const d = row.dataset;
      const hay = (d.chip + ' ' + d.config + ' ' + d.reasonCodes + ' ' + d.reasons + ' ' + d.notOk + ' ' + d.board + ' ' + d.link).toLowerCase();
      const visible = (!v || d.verdict === v) && (!c || d.config === c) && (!t || hay.includes(t));
      row.hidden = !visible;
      if (visible) n++;
    }
    shown.textContent = String(n);
  }
  function sortBy(th) {
    const key = th.dataset.key, numeric = th.dataset.type === 'number';
    const ascending = th.getAttribute('aria-sort') !== 'ascending';
    for (const other of table.tHead.rows[0].cells) other.removeAttribute('aria-sort');
    th.setAttribute('aria-sort', ascending ? 'ascending' : 'descending');
    const value = (row) => row.dataset[key];
    rows.sort((a, b) => {
      const x = value(a), y = value(b);
      if (numeric) {
        if (x === '' && y === '') return 0;
        if (x === '') return 1;
        if (y === '') return -1;
        return ascending ? Number(x) - Number(y) : Number(y) - Number(x);
      }
      return ascending ? x.localeCompare(y) : y.localeCompare(x);
    });
    for (const row of rows) body.appendChild(row);
  }
  for (const th of table.tHead.rows[0].cells) if (th.dataset.key) th.addEventListener('click', () => sortBy(th));
  verdict.addEventListener('change', filter);
  config.addEventListener('change', filter);
  text.addEventListener('input', filter);
  filter();
})();
)js";

std::string head(const std::string& title, std::string_view pageStyle = {}) {
  // Nothing is fetched but the plots: no network, whatever a page holds.
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; img-src file: 'self'; "
         "style-src 'unsafe-inline'; script-src 'unsafe-inline'\"><title>" +
         escape(title) + "</title><style>" + kStyle + overviewStyle() + std::string(pageStyle) + "</style></head><body>\n";
}

std::string verdictBadge(const std::string& verdict) {
  return "<span class=\"verdict " + escape(verdict) + "\">" + escape(verdict) + "</span>";
}

std::string withChannel(std::optional<double> value, int decimals, std::optional<std::int64_t> channel) {
  return fixed(value, decimals) + (value && channel ? " (ch " + std::to_string(*channel) + ")" : "");
}

std::string yieldTable(const std::string& id, const char* what, const std::map<std::string, Yield>& yields) {
  std::string t = "<table id=\"" + id + "\"><thead><tr><th>" + what +
                  "</th><th class=\"num\">pass</th><th class=\"num\">fail</th><th class=\"num\">error</th>"
                  "<th class=\"num\">yield %</th><th></th></tr></thead><tbody>";
  for (const auto& [key, y] : yields) {
    const std::size_t total = y.pass + y.fail + y.error;
    const auto share = [&](std::size_t n) { return total ? 100.0 * static_cast<double>(n) / total : 0.0; };
    t += "<tr data-key=\"" + escape(key) + "\" data-pass=\"" + std::to_string(y.pass) + "\" data-fail=\"" +
         std::to_string(y.fail) + "\" data-error=\"" + std::to_string(y.error) + "\"><td>" + escape(key) +
         "</td><td class=\"num\">" + std::to_string(y.pass) + "</td><td class=\"num\">" + std::to_string(y.fail) +
         "</td><td class=\"num\">" + std::to_string(y.error) + "</td><td class=\"num\">" + fixed(share(y.pass), 1) +
         "</td><td class=\"bar-cell\"><div class=\"yieldbar\">";
    for (const auto& [cls, n] : {std::pair{"pass", y.pass}, std::pair{"fail", y.fail}, std::pair{"error", y.error}})
      if (n) t += "<span class=\"" + std::string(cls) + "\" style=\"width:" + fixed(share(n), 1) + "%\"></span>";
    t += "</div></td></tr>";
  }
  return t + "</tbody></table>";
}

// A column of the chip table: its heading, data-* key and kind.
struct Column {
  const char* heading;
  const char* key;  // dataset name
  bool numeric;
};

constexpr Column kColumns[] = {
    {"chip", "chip", false},           {"config", "config", false},
    {"verdict", "verdict", false},     {"median gain mV/fC", "medianGain", true},
    {"spread %", "gainSpread", true},  {"worst INL %", "worstInl", true},
    {"largest ENC e", "maxEnc", true}, {"not ok", "channelsNotOk", true},
    {"measured", "measured", false},   {"board", "board", false},
    {"link", "link", false},           {"reasons", "reasons", false},
};

// After a median gain that is not calib's: of the fitted channels, as calib
// judged none good.
std::string fittedMark(const RunRow& r) {
  return r.medianGainFitted ? " <abbr title=\"the median of the fitted channels: calib judged no channel good\">(fitted)</abbr>"
                            : "";
}

// "medianGain" → "median-gain", as data-* attributes are written.
std::string attributeName(const char* key) {
  std::string name;
  for (const char* c = key; *c; ++c) {
    if (std::isupper(static_cast<unsigned char>(*c))) {
      name += '-';
      name += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    } else {
      name += *c;
    }
  }
  return name;
}

std::string chipRow(const SiteModel& m, const SiteRun& run, const std::string& page) {
  const RunRow& r = run.row;
  const std::map<std::string, std::string> data = {
      {"chip", r.chip},
      {"config", r.config},
      {"verdict", r.verdict},
      {"medianGain", number(r.medianGain)},
      {"gainSpread", number(r.gainSpread)},
      {"worstInl", number(r.worstInl)},
      {"maxEnc", number(r.maxEnc)},
      {"channelsNotOk", r.channelsNotOk ? std::to_string(*r.channelsNotOk) : ""},
      {"notOk", r.notOk},
      {"measured", r.measuredAt},
      {"board", r.board},
      {"link", r.link},
      {"reasons", r.reasons},
      {"reasonCodes", r.reasonCodes},
  };
  std::string row = "<tr";
  for (const auto& [key, value] : data) row += " data-" + attributeName(key.c_str()) + "=\"" + escape(value) + "\"";
  row += "><td><a href=\"" + html::urlPath(page) + "\">" + escape(r.chip) + "</a></td><td class=\"config\">" +
         escape(r.config) + "</td><td>" + verdictBadge(r.verdict) + "</td><td class=\"num\">" + fixed(r.medianGain, 2) +
         fittedMark(r) + "</td><td class=\"num\">" + fixed(r.gainSpread, 2) + "</td><td class=\"num\">" +
         withChannel(r.worstInl, 2, r.worstInlChannel) + "</td><td class=\"num\">" +
         withChannel(r.maxEnc, 0, r.maxEncChannel) + "</td>" + notOkCell(r) + "<td class=\"date\">" +
         escape(r.measuredAt) + "</td><td>" + escape(r.board) + "</td><td>" + escape(r.link) + "</td>" +
         reasonsCell(m, run) + "</tr>\n";
  return row;
}

std::string distributions(const SiteModel& m) {
  std::map<std::string, std::vector<std::size_t>> byConfig;
  for (const std::size_t i : m.shown) byConfig[m.runs[i].row.config].push_back(i);
  std::string s;
  int n = 0;
  for (const auto& [config, runs] : byConfig) {
    const auto l = m.limits.find(config);
    const ConfigLimits limits = l == m.limits.end() ? ConfigLimits{} : l->second;
    std::vector<double> gain, enc, noise, inl;
    for (const std::size_t i : runs) {
      const SiteRun& run = m.runs[i];
      if (run.row.medianGain) gain.push_back(*run.row.medianGain);
      if (run.row.maxEnc) enc.push_back(*run.row.maxEnc);
      if (run.medianNoise) noise.push_back(*run.medianNoise);
      if (run.row.worstInl) inl.push_back(*run.row.worstInl);
    }
    std::vector<html::Limit> gainLimits, encLimits, inlLimits;
    if (limits.gainMin)
      gainLimits = {{*limits.gainMin, "min " + fixed(limits.gainMin, 1)},
                    {*limits.gainMax, "max " + fixed(limits.gainMax, 1)}};
    if (limits.enc) encLimits = {{*limits.enc, "max " + fixed(limits.enc, 0)}};
    if (limits.inl) inlLimits = {{*limits.inl, "max " + fixed(limits.inl, 1)}};
    const std::string id = "dist-" + std::to_string(n++);
    s += "<section class=\"distribution\" data-config=\"" + escape(config) + "\"><h3>" + escape(config) + " (" +
         plural(runs.size(), "chip", "chips") +
         (limits.criteria.empty() ? "" : ", limits of criteria " + escape(limits.criteria)) +
         ")</h3><div class=\"charts\">" + html::histogram(id + "-gain", "median gain", "mV/fC", gain, gainLimits, 0) +
         html::histogram(id + "-enc", "largest ENC", "e", enc, encLimits, 0) +
         html::histogram(id + "-noise", "median noise", "ADC", noise, {}, 0) +
         html::histogram(id + "-inl", "worst INL", "%", inl, inlLimits, 0) + "</div></section>\n";
  }
  return s;
}

// The path of a file below the output tree as seen from a page in dir.
std::string relativeUrl(const fs::path& file, const fs::path& dir) {
  return html::urlPath(file.lexically_relative(dir).string());
}

// The plots found in a run's output directory, as URLs from a page in
// pageDir: the fit parameters' with their captions, and each channel's
// ("" where there is none).
struct RunPlots {
  std::vector<std::pair<std::string, std::string>> fitParameters;
  std::vector<std::string> channels = std::vector<std::string>(kChannels);
};

RunPlots findPlots(const SiteRun& run, const fs::path& pageDir) {
  RunPlots found;
  if (run.row.outputDir.empty()) return found;
  const std::string number = std::to_string(atoiSaturating(run.row.chip));
  // Links between real paths: a page opened through a symbolic link, or by
  // its real path, finds the plots alike.
  std::error_code e;
  const fs::path dir = fs::weakly_canonical(fs::path(run.row.outputDir) / "png" / "calib" / number / run.row.config, e);
  if (e) return found;
  const auto url = [&](const fs::path& file) -> std::string {
    std::error_code e;
    return fs::is_regular_file(file, e) ? relativeUrl(file, pageDir) : "";
  };
  for (int p = 0; p < 4; ++p)
    if (std::string u = url(dir / ("amp_sig_chip_" + number + "_fitpar" + std::to_string(p) + ".png")); !u.empty())
      found.fitParameters.emplace_back(std::move(u), "fit parameter " + std::to_string(p));
  for (int c = 0; c < kChannels; ++c) {
    const std::string nn = (c < 10 ? "0" : "") + std::to_string(c);
    found.channels[c] = url(dir / ("amp_sig_chip_" + number + "_chan_" + nn + ".png"));
  }
  return found;
}

std::string plots(const RunPlots& found) {
  std::string figures;
  const auto figure = [&](const std::string& url, const std::string& caption) {
    figures += "<figure><a href=\"" + url + "\"><img loading=\"lazy\" src=\"" + url + "\" alt=\"" + escape(caption) +
               "\"></a><figcaption>" + escape(caption) + "</figcaption></figure>";
  };
  for (const auto& [url, caption] : found.fitParameters) figure(url, caption);
  for (int c = 0; c < kChannels; ++c)
    if (!found.channels[c].empty()) figure(found.channels[c], "channel " + std::to_string(c));
  return figures.empty() ? "<p>No plots in the output tree.</p>" : "<div class=\"plots\">" + figures + "</div>";
}

std::string facts(const RunRow& r) {
  const std::pair<const char*, std::string> rows[] = {
      {"measured", r.measuredAt},
      {"analysed", r.analysedAt},
      {"stand date", r.standDate},
      {"stand time", r.standTime},
      {"board", r.board},
      {"link", r.link},
      {"input", r.inputPath},
      {"input SHA-256", r.inputSha256},
      {"calib version", r.analysisVersion},
      {"criteria", r.criteria},
      {"calib", r.calibExit},
      {"outputs", r.outputDir},
      {"run", std::to_string(r.runId)},
  };
  std::string t = "<table class=\"facts\">";
  for (const auto& [name, value] : rows)
    t += "<tr><th>" + std::string(name) + "</th><td data-fact=\"" + escape(name) + "\">" + escape(value) + "</td></tr>";
  return t + "</table>";
}

// A run's gain and ENC by channel, and its previous calibration's.
struct ChannelSeries {
  std::vector<std::optional<double>> gain, enc, previousGain, previousEnc;
  GainComparison changes;
};

ChannelSeries channelSeries(const SiteRun& run, const SiteRun* previous) {
  ChannelSeries s{std::vector<std::optional<double>>(kChannels), std::vector<std::optional<double>>(kChannels),
                  std::vector<std::optional<double>>(kChannels), std::vector<std::optional<double>>(kChannels),
                  {}};
  const auto fill = [](const SiteRun& r, std::vector<std::optional<double>>& gain,
                       std::vector<std::optional<double>>& enc) {
    for (const ChannelResult& c : r.channels)
      if (c.channel >= 0 && c.channel < kChannels) {
        gain[c.channel] = c.gain;
        enc[c.channel] = c.enc;
      }
  };
  fill(run, s.gain, s.enc);
  if (previous) {
    fill(*previous, s.previousGain, s.previousEnc);
    const auto gains = [](const SiteRun& r) {
      std::vector<ChannelGain> g;
      for (const ChannelResult& c : r.channels) g.push_back({c.gain, c.status});
      return g;
    };
    s.changes = compareGains(gains(*previous), gains(run));
  }
  return s;
}

std::string reasonList(const RunRow& r) {
  std::string s = "<ul class=\"reasons\">";
  if (r.reasons.empty()) s += "<li>every criterion met</li>";
  for (std::size_t from = 0; from < r.reasons.size();) {
    const std::size_t to = std::min(r.reasons.find("; ", from), r.reasons.size());
    s += "<li>" + escape(r.reasons.substr(from, to - from)) + "</li>";
    from = to + 2;
  }
  return s + "</ul>";
}

std::string changesSince(const SiteRun* previous, const GainComparison& changes) {
  if (!previous) return "<p class=\"changes\">No calibration of this chip and configuration before this one.</p>";
  const GainChange* largest = changes.largest();
  return "<p class=\"changes\" data-previous-run=\"" + std::to_string(previous->row.runId) + "\" data-chip-change=\"" +
         number(changes.chipPercent) + "\">Compared with the run measured " + escape(previous->row.measuredAt) +
         ": the chip's gain changed by " + fixed(changes.chipPercent, 2) + " %" +
         (largest ? "; the channel furthest from that is " + std::to_string(largest->channel) + " (" +
                        fixed(largest->relative, 2) + " % beside the chip's)"
                  : "") +
         ".</p>";
}

std::string channelTable(const SiteRun& run, const ChannelSeries& series) {
  std::map<int, const GainChange*> changeOf;
  for (const GainChange& g : series.changes.changes) changeOf[g.channel] = &g;
  std::string s =
      "<table class=\"channels\"><thead><tr><th class=\"num\">channel</th><th>status</th>"
      "<th class=\"num\">gain mV/fC</th><th class=\"num\">±</th><th class=\"num\">offset mV</th>"
      "<th class=\"num\">χ²/ndf</th><th class=\"num\">noise ADC</th><th class=\"num\">ENC e</th>"
      "<th class=\"num\">INL %</th><th class=\"num\">max pull</th><th class=\"num\">previous gain</th>"
      "<th class=\"num\">change %</th></tr></thead><tbody>";
  for (const ChannelResult& c : run.channels) {
    const auto change = changeOf.find(c.channel);
    const std::optional<double> percent =
        change == changeOf.end() ? std::nullopt : std::optional<double>(change->second->percent);
    const std::string chi2 = c.chi2 && c.ndf ? fixed(c.chi2, 1) + "/" + std::to_string(*c.ndf) : "–";
    s += "<tr class=\"status-" + escape(c.status) + "\" data-channel=\"" + std::to_string(c.channel) +
         "\" data-status=\"" + escape(c.status) + "\" data-gain=\"" + number(c.gain) + "\" data-enc=\"" +
         number(c.enc) + "\" data-change=\"" + number(percent) + "\"><td class=\"num\">" + std::to_string(c.channel) +
         "</td><td class=\"status\">" + escape(c.status) + "</td><td class=\"num\">" + fixed(c.gain, 3) +
         "</td><td class=\"num\">" + fixed(c.gainError, 3) + "</td><td class=\"num\">" + fixed(c.offset, 1) +
         "</td><td class=\"num\">" + chi2 + "</td><td class=\"num\">" + fixed(c.noiseAdc, 2) +
         "</td><td class=\"num\">" + fixed(c.enc, 0) + "</td><td class=\"num\">" + fixed(c.inl, 2) +
         "</td><td class=\"num\">" + fixed(c.maxPull, 1) + "</td><td class=\"num\">" +
         fixed(c.channel < kChannels ? series.previousGain[c.channel] : std::nullopt, 3) +
         "</td><td class=\"num\">" + fixed(percent, 2) + "</td></tr>";
  }
  if (run.channels.empty())
    s += "<tr><td colspan=\"12\">No channel results: calib could not analyse the file.</td></tr>";
  return s + "</tbody></table>";
}

std::string runSection(const SiteModel& m, const SiteChip& chip, const SiteRun& run, const fs::path& pageDir,
                       const RunCurves& curves, int n) {
  const RunRow& r = run.row;
  const SiteRun* previous = run.previous ? &m.runs[*run.previous] : nullptr;
  const ChannelSeries series = channelSeries(run, previous);
  std::string s = "<section class=\"run\" id=\"run-" + std::to_string(n) + "\" data-config=\"" + escape(r.config) +
                  "\" data-verdict=\"" + escape(r.verdict) + "\" data-run=\"" + std::to_string(r.runId) + "\"><h2>" +
                  escape(r.config) + " " + verdictBadge(r.verdict) + "</h2>";
  s += reasonList(r) + facts(r);
  s += "<h3>Since the previous calibration</h3>" + changesSince(previous, series.changes);
  s += "<div class=\"charts\">" +
       html::channelChart("gain-" + std::to_string(n), "gain per channel (open: previous)", "mV/fC", series.gain,
                          series.previousGain, 0) +
       html::channelChart("enc-" + std::to_string(n), "ENC per channel (open: previous)", "e", series.enc,
                          series.previousEnc, 0) +
       "</div>";
  const RunPlots found = findPlots(run, pageDir);
  const auto stored = curves.find(r.runId);
  s += channelTable(run, series) + "<h3>Gain over the calibrations</h3>" + gainHistory(m, chip, run) +
       "<h3>Gain curves</h3>" + curvesSection(stored == curves.end() ? nullptr : &stored->second, found.channels) +
       "<h3>Plots</h3>" + plots(found) + "</section>\n";
  return s;
}

}  // namespace

std::string pageHead(const std::string& title) { return head(title); }

std::string indexPage(const SiteModel& m, const SiteContext& context) {
  std::string p = head("Calibration report");
  p += "<header><h1>Calibration report</h1><p class=\"meta\">" + plural(m.chips.size(), "chip", "chips") + ", " +
       plural(m.shown.size(), "chip configuration", "chip configurations") + "; from " + escape(context.database) + ", generated " +
       escape(context.generatedAt) +
       (context.filter.since.empty() ? "" : "; measured since " + escape(context.filter.since)) +
       (context.filter.configPattern.empty() ? "" : "; configurations " + escape(context.filter.configPattern)) +
       "</p></header>\n";
  p += attentionSection(m, context.filter);
  p += trendsLink(m);
  p += "<section id=\"yield\"><h2>Yield</h2><p>Every run recorded, a chip tested twice counted twice.</p>"
       "<div class=\"charts\">" +
       yieldTable("yield-by-day", "day", m.byDay) + yieldTable("yield-by-config", "configuration", m.byConfig) +
       "</div></section>\n";

  std::map<std::string, int> configs;
  for (const std::size_t i : m.shown) ++configs[m.runs[i].row.config];
  p += "<section id=\"chip-list\"><h2>Chips</h2><div class=\"filters\"><label>verdict <select id=\"verdict-filter\">"
       "<option value=\"\">all</option><option>pass</option><option>fail</option><option>error</option></select>"
       "</label><label>configuration <select id=\"config-filter\"><option value=\"\">all</option>";
  for (const auto& [config, n] : configs)
    p += "<option value=\"" + escape(config) + "\">" + escape(config) + "</option>";
  p += "</select></label><label>text <input id=\"text-filter\" type=\"search\" placeholder=\"chip, reason, board…\">"
       "</label><span id=\"shown-count\">" +
       std::to_string(m.shown.size()) + "</span> of " + std::to_string(m.shown.size()) + " shown</div>";
  p += "<table id=\"chips\"><thead><tr>";
  for (const Column& c : kColumns)
    p += std::string("<th") + (c.numeric ? " class=\"num\"" : "") + " data-key=\"" + c.key + "\" data-type=\"" +
         (c.numeric ? "number" : "text") + "\">" + c.heading + "</th>";
  p += "</tr></thead><tbody>\n";
  for (const SiteChip& chip : m.chips)
    for (const std::size_t i : chip.latest) p += chipRow(m, m.runs[i], chip.page);
  p += "</tbody></table></section>\n";

  p += "<section id=\"distributions\"><h2>Distributions across chips</h2>" + distributions(m) + "</section>\n";
  p += "<section id=\"outside\"><h2>Outside the limits</h2>" + outsideAccount(m);
  if (m.outside.empty()) p += "<p>No chip is outside the limits drawn.</p>";
  p += "<ul id=\"outside-list\">";
  std::map<std::string, std::string> pages;
  for (const SiteChip& c : m.chips) pages[c.chip] = c.page;
  for (const OutsideLimit& o : m.outside) {
    const RunRow& r = m.runs[o.run].row;
    p += "<li data-chip=\"" + escape(r.chip) + "\" data-config=\"" + escape(r.config) + "\" data-what=\"" +
         escape(o.what) + "\" data-value=\"" + number(o.value) + "\"><a href=\"" + html::urlPath(pages[r.chip]) +
         "\">" + escape(r.chip) + "</a> " + escape(r.config) + ": " + escape(o.what) + " " + fixed(o.value, 2) + ", " +
         escape(o.limit) + "</li>";
  }
  p += "</ul></section>\n<script>" + std::string(kScript) + fragmentScript() + "</script></body></html>\n";
  return p;
}

std::string chipPage(const SiteModel& m, const SiteChip& chip, const SiteContext& context, const RunCurves& curves) {
  const fs::path pageDir = fs::path(context.reportDir) / "chips";
  std::string p = head("Chip " + chip.chip, std::string(curvesStyle()) + std::string(gainHistoryStyle()));
  p += "<p><a href=\"../index.html\">← all chips</a></p><h1>Chip <span id=\"chip-name\">" + escape(chip.chip) +
       "</span></h1>\n";
  int n = 0;
  for (const std::size_t i : chip.latest) p += runSection(m, chip, m.runs[i], pageDir, curves, n++);
  p += "<section id=\"history\"><h2>Every run</h2><table><thead><tr><th>measured</th><th>config</th><th>verdict</th>"
       "<th class=\"num\">median gain</th><th>reasons</th></tr></thead><tbody>";
  for (const std::size_t i : chip.history) {
    const RunRow& r = m.runs[i].row;
    p += "<tr data-run=\"" + std::to_string(r.runId) + "\"><td>" + escape(r.measuredAt) + "</td><td>" +
         escape(r.config) + "</td><td>" + verdictBadge(r.verdict) + "</td><td class=\"num\">" + fixed(r.medianGain, 2) +
         fittedMark(r) + "</td><td>" + escape(r.reasons) + "</td></tr>";
  }
  p += "</tbody></table></section></body></html>\n";
  return p;
}

}  // namespace calib::production
