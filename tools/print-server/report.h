// The jury's view of the store: per team the pages used and left and the number of jobs; per
// job the time, team, location, file name, pages and state. An aligned table for reading, or
// CSV for a spreadsheet.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "job_store.h"
#include "print_jobs.h"

namespace lumarix::printserver {

enum class EReportFormat { Table, Csv };

// `used` holds each charged team's pages, as the store keeps them; `teams` gives the quotas
// and the teams that have not printed yet.
std::string MakeReport(const TTeamList& teams, const std::vector<std::pair<std::string, std::int64_t>>& used,
                       const std::vector<TStoredJob>& jobs, EReportFormat format);

// A CSV field: quoted when it holds a comma, a quote or a line break, its quotes doubled.
std::string CsvField(const std::string& text);

}  // namespace lumarix::printserver
