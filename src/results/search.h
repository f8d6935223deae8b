// Search by shooting date and camera model: checks exactly the rows of the
// results list whose date lies in the range and whose model contains the text.
#pragma once

#include <optional>
#include <string>

#include "results/results_model.h"

namespace qrv {

struct TDateParts {
    int Year = 0, Month = 0, Day = 0;
};

// Year, month and day read by position (characters 1-4, 6-7, 9-10; the
// separators are not looked at). nullopt when the text is shorter than 10
// characters or those positions do not hold digits.
std::optional<TDateParts> Split_Date(const std::string& text);

enum class TFindOutcome {
    NotRun,  // no rows, or both dates empty: nothing done
    Refused, // a date text cannot be read: refused with a log line
    Done,
    Stopped, // the stop flag ended it: the rows after the stop stay unchecked
};

// Unchecks every row, then checks the rows whose shooting date matches
// (Y1 <= Y <= Y2, M1 <= M <= M2, and D1 <= D <= D2 only when M equals both
// months) and, with a model text, whose camera model contains it (ASCII letters
// folded). Rows whose date cannot be read never match. Reports progress and
// log lines; matchCount (when given) receives the number of checked rows. The
// stop flag of op ends the search between rows, with the stopped closing line;
// op holds the search's counters.
TFindOutcome FindFile(TOpState& op, TResultsModel& model, const std::string& startDate,
                      const std::string& endDate, const std::string& modelText,
                      int64_t* matchCount = nullptr);

} // namespace qrv
