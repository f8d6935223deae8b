#include "app/results_ops.h"

#include "common/op_state.h"
#include "export/export_job.h"
#include "export/preview_sample.h"
#include "results/result_file.h"
#include "results/search.h"
#include "scan/records.h"

namespace qrv::app {

int64_t Results_Count() {
    return RebuildResultList.Count();
}

void Show_Results() {
    To_View(0, RebuildResultList.Count());
}

bool Load_Results(const std::string& path, const TTreeData& node) {
    Load_To_List(path, &node);
    return RebuildResultList.Count() > 0;
}

std::string Check_Export(const TResultsModel& model, const std::string& folder, const TGuardOptions& output) {
    return Check_SaveTarget(model, folder, Op_State().SourcePath(), output).Why;
}

std::string Export_SourcePath() {
    return Op_State().SourcePath();
}

void Export_Results(TResultsModel& model, const std::string& folder, const TGuardOptions& output) {
    Save_ToFile_One(model, folder, {}, output);
}

void Find_Results(TResultsModel& model, const std::string& startDate, const std::string& endDate,
                  const std::string& modelText) {
    FindFile(model, startDate, endDate, modelText);
}

std::shared_ptr<TPreviewRequest> Preview_Start(int64_t resultIndex, const std::string& folder) {
    return std::make_shared<TPreviewRequest>(Start_Preview(resultIndex, folder));
}

void Preview_Build(const std::shared_ptr<TPreviewRequest>& request) {
    Try_Play(std::move(*request));
}

std::string Preview_SamplePath() {
    return Preview_Path();
}

} // namespace qrv::app
