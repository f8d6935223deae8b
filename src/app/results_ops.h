// The window's calls into the results, export and preview core, one function
// per operation. The window's handlers decide when (on which thread, after
// which checks) an operation runs; what it does is the core's, reached only
// from here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "media/tree_data.h"
#include "platform/output_guard.h"
#include "results/results_model.h"

namespace qrv {
struct TPreviewRequest;
}

namespace qrv::app {

// Every operation works on the session it is given: the one whose results the
// list shows, or the one a scan or load fills.

// Number of results behind the list (the rebuilt recordings of the last scan
// or load).
int64_t Results_Count(const TScanSession& session);

// Worker body: lists every result through the message channel.
void Show_Results(TScanSession& session);

// Worker body: loads a scan-result file for the source node. Returns whether
// results are behind the list afterwards (a load that failed after emptying
// them, or a file without records, leaves none).
bool Load_Results(TScanSession& session, const std::string& path, const TTreeData& node);

// The checks before an export, for the chosen folder: the message to show, or
// the empty text when the export may start.
std::string Check_Export(TScanSession& session, const TResultsModel& model, const std::string& folder,
                         const TGuardOptions& output = {});
// The source the rows were made from (the export's guard protects it).
std::string Export_SourcePath(const TScanSession& session);

// Worker body: writes the checked rows into the folder.
void Export_Results(TScanSession& session, TResultsModel& model, const std::string& folder,
                    const TGuardOptions& output = {});

// Worker body: checks the rows whose date and model match.
void Find_Results(TResultsModel& model, const std::string& startDate, const std::string& endDate,
                  const std::string& modelText);

// The preview of one result: the sample name chosen and the result and source
// path copied now, on the window thread; the sample built later on a worker.
// Samples are written into folder (the window's temporary folder).
std::shared_ptr<TPreviewRequest> Preview_Start(TScanSession& session, int64_t resultIndex,
                                               const std::string& folder);
void Preview_Build(const std::shared_ptr<TPreviewRequest>& request);
// The last sample built ("" until one was built).
std::string Preview_SamplePath();

} // namespace qrv::app
