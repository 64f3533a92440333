#include "production/site/overview_html.hpp"

#include "production/command/command.hpp"
#include "production/site/html.hpp"
#include "production/site/overview.hpp"

namespace calib::production {

using html::escape;

namespace {

// More runs earlier in the period than this, and that list starts closed.
constexpr std::size_t kOpenEarlier = 20;

constexpr const char* kStyle = R"css(
td.num, td.date, .reason, #chips td.config { white-space: nowrap; }
#chips td.reasons { max-width: 22em; }
#attention table { margin-bottom: 0.6em; }
#attention .none { color: #2e7d32; }
.more, .again { color: #666; font-size: 90%; }
#outside-account { max-width: 60em; }
)css";

constexpr const char* kScript = R"js(
(function () {
  const table = document.getElementById('chips');
  if (!table) return;
  const body = table.tBodies[0];
  const original = Array.from(body.rows);
  const controls = {
    verdict: document.getElementById('verdict-filter'),
    config: document.getElementById('config-filter'),
    text: document.getElementById('text-filter'),
  };
  const headings = Array.from(table.tHead.rows[0].cells).filter((th) => th.dataset.key);
  let applying = false;
  const fragment = () => location.hash.replace(/^#/, '');
  function state() {
    const p = new URLSearchParams();
    for (const [name, control] of Object.entries(controls)) if (control.value) p.set(name, control.value);
    const sorted = headings.find((th) => th.hasAttribute('aria-sort'));
    if (sorted) p.set('sort', (sorted.getAttribute('aria-sort') === 'descending' ? '-' : '') + sorted.dataset.key);
    return p.toString();
  }
  // Replaces the fragment: no history entry per keystroke, no hashchange.
  function save() {
    if (applying) return;
    const s = state();
    if (s !== fragment()) history.replaceState(history.state, '', s ? '#' + s : location.pathname + location.search);
  }
  function apply() {
    const p = new URLSearchParams(fragment());
    applying = true;
    try {
      for (const [name, control] of Object.entries(controls)) control.value = p.get(name) ?? '';
      const sort = p.get('sort') ?? '';
      const order = sort.startsWith('-') ? 'descending' : 'ascending';
      const th = headings.find((h) => h.dataset.key === sort.replace(/^-/, ''));
      if (th) {
        // A click sorts ascending, the next descending.
        for (let i = 0; i < 2 && th.getAttribute('aria-sort') !== order; i++) th.click();
      } else if (headings.some((h) => h.hasAttribute('aria-sort'))) {
        for (const h of headings) h.removeAttribute('aria-sort');
        for (const row of original) body.appendChild(row);
      }
      controls.text.dispatchEvent(new Event('input'));
    } finally {
      applying = false;
    }
  }
  for (const control of Object.values(controls)) {
    control.addEventListener('change', save);
    control.addEventListener('input', save);
  }
  for (const th of headings) th.addEventListener('click', save);
  window.addEventListener('hashchange', () => {
    apply();
    document.getElementById('chip-list').scrollIntoView();
  });
  if (fragment()) apply();
})();
)js";

std::string badge(const std::string& verdict) {
  return "<span class=\"verdict " + escape(verdict) + "\">" + escape(verdict) + "</span>";
}

// One short reason: the first, its figure (an error's detail cut short,
// as errors have no figure), and how many more there are.
std::string firstReason(const SiteModel& m, const SiteRun& run) {
  const std::vector<ShortReason> reasons = shortReasons(m, run);
  if (reasons.empty()) return "";
  const ShortReason& first = reasons.front();
  std::string text = "<span class=\"reason\">" + escape(first.text()) + "</span>";
  if (run.row.verdict == "error" && first.value.empty() && !run.row.reasons.empty())
    text += ": " + escape(briefDetail(run.row.reasons));
  if (reasons.size() > 1) text += " <span class=\"more\">+" + std::to_string(reasons.size() - 1) + " more</span>";
  return text;
}

std::string attentionTable(const SiteModel& m, const std::vector<AttentionRun>& runs, const std::string& id,
                           const std::map<std::string, std::string>& pages) {
  std::string t = "<table id=\"" + id +
                  "\" class=\"attention\"><thead><tr><th>chip</th><th>configuration</th><th>verdict</th>"
                  "<th>measured</th><th>reason</th></tr></thead><tbody>";
  for (const AttentionRun& a : runs) {
    const SiteRun& run = m.runs[a.run];
    const RunRow& r = run.row;
    const std::vector<std::string> codes = reasonCodesOf(r);
    t += "<tr data-run=\"" + std::to_string(r.runId) + "\" data-chip=\"" + escape(r.chip) + "\" data-config=\"" +
         escape(r.config) + "\" data-verdict=\"" + escape(r.verdict) + "\" data-measured=\"" + escape(r.measuredAt) +
         "\" data-reason-code=\"" + escape(codes.empty() ? "" : codes.front()) + "\"><td><a href=\"" +
         html::urlPath(pages.at(r.chip)) + "\">" + escape(r.chip) + "</a></td><td>" + escape(r.config) + "</td><td>" +
         badge(r.verdict);
    if (a.since) {
      const RunRow& now = m.runs[*a.since].row;
      t += " <span class=\"again\" title=\"measured again " + escape(now.measuredAt) + "\">then</span> " +
           badge(now.verdict);
    }
    t += "</td><td class=\"date\">" + escape(r.measuredAt) + "</td><td title=\"" + escape(r.reasons) + "\">" +
         firstReason(m, run) + "</td></tr>";
  }
  return t + "</tbody></table>";
}

}  // namespace

std::string attentionSection(const SiteModel& m, const SiteFilter& filter) {
  const Attention a = needsAttention(m, filter);
  std::map<std::string, std::string> pages;
  for (const SiteChip& c : m.chips) pages[c.chip] = c.page;
  std::string s = "<section id=\"attention\"><h2>Needs attention</h2>";
  if (a.latestDay.empty()) return s + "<p>No run shown.</p></section>\n";
  s += "<p data-latest-day=\"" + escape(a.latestDay) + "\">";
  if (a.ofLatestDay.empty()) {
    s += "<span class=\"none\">Every run of " + escape(a.latestDay) + ", the latest day measured, passed</span> (" +
         plural(a.runsOfLatestDay, "run", "runs") + ").";
  } else {
    s += "Failed or could not be judged on " + escape(a.latestDay) +
         ", the latest day measured: " + std::to_string(a.ofLatestDay.size()) + " of " +
         plural(a.runsOfLatestDay, "run", "runs") + ".";
  }
  s += " In the chip table: <a href=\"#verdict=fail\">every fail</a>, <a href=\"#verdict=error\">every error</a>.</p>";
  if (!a.ofLatestDay.empty()) s += attentionTable(m, a.ofLatestDay, "attention-latest", pages);
  if ((!filter.since.empty() || !filter.configPattern.empty()) && a.runsEarlier > 0) {
    std::string period = filter.since.empty() ? "" : "since " + filter.since;
    if (!filter.configPattern.empty())
      period += (period.empty() ? "" : ", ") + std::string("configurations ") + filter.configPattern;
    if (a.earlier.empty()) {
      s += "<p id=\"attention-earlier-none\">Nothing failed earlier in the period shown (" + escape(period) + ").</p>";
    } else {
      s += std::string("<details id=\"attention-earlier-block\"") + (a.earlier.size() <= kOpenEarlier ? " open" : "") +
           "><summary>" + std::to_string(a.earlier.size()) +
           " failed or could not be judged earlier in the period shown (" + escape(period) + ")</summary>" +
           attentionTable(m, a.earlier, "attention-earlier", pages) + "</details>";
    }
  }
  return s + "</section>\n";
}

std::string reasonsCell(const SiteModel& m, const SiteRun& run) {
  std::string cell =
      "<td class=\"reasons\"" + (run.row.reasons.empty() ? "" : " title=\"" + escape(run.row.reasons) + "\"") + ">";
  bool first = true;
  for (const ShortReason& r : shortReasons(m, run)) {
    cell += (first ? "" : ", ") + std::string("<span class=\"reason\" data-code=\"") + escape(r.code) + "\">" +
            escape(r.text()) + "</span>";
    first = false;
  }
  return cell + "</td>";
}

std::string notOkCell(const RunRow& r) {
  if (!r.channelsNotOk) return "<td>–</td>";
  std::string list;
  for (std::size_t from = 0; from < r.notOk.size();) {
    const std::size_t to = std::min(r.notOk.find("; ", from), r.notOk.size());
    std::string group = escape(r.notOk.substr(from, to - from));
    if (const std::size_t space = group.find(' '); space != std::string::npos) group.replace(space, 1, "&nbsp;");
    list += (list.empty() ? "" : "; ") + group;
    from = to + 2;
  }
  // "32: no_data 0-31" on one line, longer lists broken between channels.
  return "<td>" + std::to_string(*r.channelsNotOk) + (list.empty() ? "" : ":&nbsp;" + list) + "</td>";
}

std::string outsideAccount(const SiteModel& m) {
  const OutsideAccount a = accountForOutside(m);
  std::string s = "<p id=\"outside-account\" data-fails=\"" + std::to_string(a.fails) + "\" data-fails-outside=\"" +
                  std::to_string(a.failsOutside) +
                  "\">The limits drawn above are the median gain, the largest ENC "
                  "and the worst INL; each latest run is held to those of its own criteria. ";
  if (a.fails == 0) {
    s += "No chip configuration shown failed.";
  } else {
    s += "Of the " + plural(a.fails, "chip configuration", "chip configurations") + " whose latest run failed, " +
         std::to_string(a.failsOutside) + " " + (a.failsOutside == 1 ? "is" : "are") +
         " listed below, with a value beyond those limits";
    if (a.fails > a.failsOutside) {
      s += "; the other " + std::to_string(a.fails - a.failsOutside) +
           " failed only on criteria these distributions do not show:";
      bool first = true;
      for (const auto& [code, n] : a.otherFailCodes) {
        s += std::string(first ? " " : ", ") + "<a href=\"#verdict=fail&amp;text=" + html::urlPath(code) + "\">" +
             escape(code) + "</a> " + std::to_string(n);
        first = false;
      }
    }
    s += ".";
  }
  if (a.othersOutside) {
    s += ' ';
    s += plural(a.othersOutside, "run", "runs") + " listed here did not fail: errors, whose figures were not judged.";
  }
  return s + "</p>";
}

const char* overviewStyle() { return kStyle; }

const char* fragmentScript() { return kScript; }

}  // namespace calib::production
