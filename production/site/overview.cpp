#include "production/site/overview.hpp"

#include <algorithm>
#include <set>

#include "production/rules/acceptance.hpp"
#include "production/site/html.hpp"

namespace calib::production {

namespace {

std::string withChannel(const std::string& value, std::optional<std::int64_t> channel) {
  return channel ? value + " (ch " + std::to_string(*channel) + ")" : value;
}

std::string signedPercent(double percent) {
  std::string text = percent >= 0 ? "+" : "";
  text += html::fixed(percent, 1);
  text += " %";
  return text;
}

// A run's gains by channel, as acceptance compares them.
std::vector<ChannelGain> gainsOf(const SiteRun& run) {
  std::vector<ChannelGain> gains;
  for (const ChannelResult& c : run.channels) gains.push_back({c.gain, c.status});
  return gains;
}

bool needsLooking(const RunRow& row) { return row.verdict == "fail" || row.verdict == "error"; }

}  // namespace

std::vector<std::string> reasonCodesOf(const RunRow& row) {
  std::vector<std::string> codes;
  for (std::size_t from = 0; from < row.reasonCodes.size();) {
    const std::size_t to = std::min(row.reasonCodes.find(',', from), row.reasonCodes.size());
    if (to > from) codes.push_back(row.reasonCodes.substr(from, to - from));
    from = to + 1;
  }
  return codes;
}

std::vector<ShortReason> shortReasons(const SiteModel& m, const SiteRun& run) {
  const RunRow& r = run.row;
  std::optional<GainComparison> changes;
  const auto comparison = [&]() -> const GainComparison* {
    if (!run.previous) return nullptr;
    if (!changes) changes = compareGains(gainsOf(m.runs[*run.previous]), gainsOf(run));
    return &*changes;
  };
  std::vector<ShortReason> reasons;
  for (const std::string& code : reasonCodesOf(r)) {
    std::string value;
    if (code == "channels_not_ok") {
      if (r.channelsNotOk) value = std::to_string(*r.channelsNotOk);
    } else if (code == "gain_spread") {
      value = r.gainSpread ? html::fixed(r.gainSpread, 1) + " %" : "unknown";
    } else if (code == "inl") {
      if (r.worstInl) value = withChannel(html::fixed(r.worstInl, 2) + " %", r.worstInlChannel);
    } else if (code == "enc") {
      if (r.maxEnc) value = withChannel(html::fixed(r.maxEnc, 0) + " e", r.maxEncChannel);
    } else if (code == "median_gain") {
      value = r.medianGain ? html::fixed(r.medianGain, 2) + " mV/fC" : "none";
    } else if (code == "chip_gain_change") {
      if (const GainComparison* c = comparison()) value = signedPercent(c->chipPercent);
    } else if (code == "gain_change") {
      if (const GainComparison* c = comparison())
        if (const GainChange* largest = c->largest())
          value = withChannel(signedPercent(largest->relative), largest->channel);
    }
    reasons.push_back({code, value});
  }
  return reasons;
}

std::string briefDetail(const std::string& detail) {
  std::string text = detail.substr(0, detail.find("; "));
  // Absolute paths as their file names.
  std::string brief;
  for (std::size_t i = 0; i < text.size();) {
    const bool startsToken = i == 0 || std::string_view(" '\"(=:").find(text[i - 1]) != std::string_view::npos;
    if (text[i] == '/' && startsToken) {
      const std::size_t end = std::min(text.find_first_of(" '\"),;", i), text.size());
      const std::string path = text.substr(i, end - i);
      const std::string name = path.substr(path.find_last_of('/') + 1);
      brief += name.empty() ? path : name;
      i = end;
    } else {
      brief += text[i++];
    }
  }
  if (brief.size() <= kBriefLength) return brief;
  std::size_t cut = kBriefLength - 1;
  while (cut > 0 && (static_cast<unsigned char>(brief[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
  return brief.substr(0, cut) + "…";
}

Attention needsAttention(const SiteModel& m, const SiteFilter& filter) {
  Attention a;
  std::map<std::pair<std::string, std::string>, std::size_t> latest;
  for (const std::size_t i : m.shown) latest[{m.runs[i].row.chip, m.runs[i].row.config}] = i;
  std::vector<std::size_t> shown;
  for (std::size_t i = 0; i < m.runs.size(); ++i)
    if (selects(filter, m.runs[i].row)) {
      shown.push_back(i);
      a.latestDay = std::max(a.latestDay, m.runs[i].row.measuredAt.substr(0, 10));
    }
  const bool filtered = !filter.since.empty() || !filter.configPattern.empty();
  // Newest first: the runs are oldest first.
  for (auto it = shown.rbegin(); it != shown.rend(); ++it) {
    const RunRow& row = m.runs[*it].row;
    const bool ofLatestDay = row.measuredAt.substr(0, 10) == a.latestDay;
    (ofLatestDay ? a.runsOfLatestDay : a.runsEarlier) += 1;
    if (!needsLooking(row) || (!ofLatestDay && !filtered)) continue;
    AttentionRun entry{*it, std::nullopt};
    if (const std::size_t now = latest.at({row.chip, row.config}); now != *it) entry.since = now;
    (ofLatestDay ? a.ofLatestDay : a.earlier).push_back(entry);
  }
  return a;
}

OutsideAccount accountForOutside(const SiteModel& m) {
  std::set<std::size_t> outside;
  for (const OutsideLimit& o : m.outside) outside.insert(o.run);
  OutsideAccount account;
  std::map<std::string, std::size_t> byCode;
  std::vector<std::string> order;
  for (const std::size_t i : m.shown) {
    const RunRow& row = m.runs[i].row;
    const bool listed = outside.contains(i);
    if (row.verdict != "fail") {
      account.othersOutside += listed;
      continue;
    }
    ++account.fails;
    if (listed) {
      ++account.failsOutside;
      continue;
    }
    for (const std::string& code : reasonCodesOf(row))
      if (byCode[code]++ == 0) order.push_back(code);
  }
  for (const std::string& code : order) account.otherFailCodes.emplace_back(code, byCode[code]);
  std::stable_sort(account.otherFailCodes.begin(), account.otherFailCodes.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  return account;
}

}  // namespace calib::production
