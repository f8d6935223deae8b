#include "app/results_ops.h"

#include "common/op_state.h"
#include "export/export_job.h"
#include "export/preview_sample.h"
#include "results/result_file.h"
#include "results/search.h"

namespace qrv::app {

int64_t Results_Count(const TScanSession& session) {
    return session.Rebuilds.Count();
}

void Show_Results(TScanSession& session) {
    To_View(session, 0, session.Rebuilds.Count());
}

bool Load_Results(TScanSession& session, const std::string& path, const TTreeData& node) {
    Load_To_List(session, path, &node);
    return session.Rebuilds.Count() > 0;
}

std::string Check_Export(TScanSession& session, const TResultsModel& model, const std::string& folder,
                         const TGuardOptions& output) {
    return Check_SaveTarget(session, model, folder, session.SourcePath(), output).Why;
}

std::string Export_SourcePath(const TScanSession& session) {
    return session.SourcePath();
}

void Export_Results(TScanSession& session, TResultsModel& model, const std::string& folder,
                    const TGuardOptions& output) {
    Save_ToFile_One(session, model, folder, {}, output);
}

void Find_Results(TResultsModel& model, const std::string& startDate, const std::string& endDate,
                  const std::string& modelText) {
    FindFile(model.Session()->Op, model, startDate, endDate, modelText);
}

std::shared_ptr<TPreviewRequest> Preview_Start(TScanSession& session, int64_t resultIndex,
                                               const std::string& folder) {
    return std::make_shared<TPreviewRequest>(Start_Preview(session, resultIndex, folder));
}

void Preview_Build(const std::shared_ptr<TPreviewRequest>& request) {
    Try_Play(std::move(*request));
}

std::string Preview_SamplePath() {
    return Preview_Path();
}

} // namespace qrv::app
