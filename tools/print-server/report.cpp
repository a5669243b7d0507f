#include "report.h"

#include <algorithm>
#include <map>

namespace lumarix::printserver {
namespace {

using TRow = std::vector<std::string>;

struct TTable {
  std::string title;
  TRow heading;
  std::vector<TRow> rows;
};

struct TTeamTotals {
  std::string location;
  std::optional<std::int64_t> quota;
  std::int64_t used = 0, jobs = 0;
};

// Characters as a terminal shows them: UTF-8 continuation bytes take no column.
std::size_t Columns(const std::string& text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xc0) != 0x80; }));
}

std::string Table(const TTable& table) {
  std::vector<std::size_t> widths(table.heading.size(), 0);
  auto measure = [&](const TRow& row) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], Columns(row[i]));
  };
  measure(table.heading);
  for (const TRow& row : table.rows) measure(row);
  auto line = [&](const TRow& row) {
    std::string text;
    for (std::size_t i = 0; i < row.size(); ++i) {
      const bool last = i + 1 == row.size();
      text += row[i] + (last ? std::string() : std::string(widths[i] - Columns(row[i]) + 2, ' '));
    }
    return text + "\n";
  };
  std::string text = table.title + "\n" + line(table.heading);
  TRow rule;
  for (std::size_t width : widths) rule.push_back(std::string(width, '-'));
  text += line(rule);
  for (const TRow& row : table.rows) text += line(row);
  return text;
}

std::string Csv(const TTable& table) {
  std::string text;
  auto line = [&](const TRow& row) {
    for (std::size_t i = 0; i < row.size(); ++i) text += (i ? "," : "") + CsvField(row[i]);
    text += "\r\n";
  };
  line(table.heading);
  for (const TRow& row : table.rows) line(row);
  return text;
}

// Names as sent, for CSV (quoting keeps them whole), or with control characters shown as \xNN
// for the table, where a line break would break the row.
std::string Name(const std::string& name, EReportFormat format) {
  return format == EReportFormat::Csv ? name : PrintableName(name);
}

std::string StateText(const TStoredJob& job) {
  std::string state = job.state;
  if (job.cupsJobId) state += " (CUPS job " + std::to_string(job.cupsJobId) + ", " + job.cupsState + ")";
  else if (job.exitStatus) state += " (exit status " + std::to_string(*job.exitStatus) + ")";
  return state;
}

}  // namespace

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string MakeReport(const TTeamList& teams, const std::vector<std::pair<std::string, std::int64_t>>& used,
                       const std::vector<TStoredJob>& jobs, EReportFormat format) {
  std::map<std::string, TTeamTotals> totals;
  for (const auto& [team, account] : teams.accounts()) {
    totals[team].location = account.location;
    totals[team].quota = account.quota;
  }
  for (const auto& [team, pages] : used) totals[team].used = pages;
  for (const TStoredJob& job : jobs) ++totals[job.team].jobs;

  TTable teamTable{"Teams", {"team", "location", "pages used", "pages left", "jobs"}, {}};
  for (const auto& [team, total] : totals) {
    const std::string left = total.quota ? std::to_string(std::max<std::int64_t>(0, *total.quota - total.used))
                                         : std::string("unlimited");
    teamTable.rows.push_back({Name(team, format), Name(total.location, format), std::to_string(total.used), left,
                              std::to_string(total.jobs)});
  }
  TTable jobTable{"Jobs", {"time", "team", "location", "file", "pages", "state"}, {}};
  for (const TStoredJob& job : jobs) {
    jobTable.rows.push_back({job.receivedAt, Name(job.team, format), Name(job.location, format),
                             Name(job.filename, format), std::to_string(job.pages), StateText(job)});
  }
  if (format == EReportFormat::Csv) return Csv(teamTable) + "\r\n" + Csv(jobTable);
  return Table(teamTable) + "\n" + Table(jobTable);
}

}  // namespace lumarix::printserver
