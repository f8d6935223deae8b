#include "scan/scan_session.h"

namespace qrv {

void TScanSession::Set_FeatureIndex(const TSource* source, std::shared_ptr<const TFeatureIndex> index) {
    std::lock_guard<std::mutex> lk(featureMu_);
    featureSource_ = index ? source : nullptr;
    features_ = source ? std::move(index) : nullptr;
}

std::shared_ptr<const TFeatureIndex> TScanSession::Feature_Index(const TSource& source) const {
    std::lock_guard<std::mutex> lk(featureMu_);
    return featureSource_ == &source ? features_ : nullptr;
}

void TScanSession::Set_Settings(const TScanSettings& settings) {
    std::lock_guard<std::mutex> lk(mu_);
    settings_ = settings;
}

TScanSettings TScanSession::Settings() const {
    std::lock_guard<std::mutex> lk(mu_);
    return settings_;
}

void TScanSession::Set_SourcePath(std::string path) {
    std::lock_guard<std::mutex> lk(mu_);
    sourcePath_ = std::move(path);
}

std::string TScanSession::SourcePath() const {
    std::lock_guard<std::mutex> lk(mu_);
    return sourcePath_;
}

void TScanSession::Clear_Records() {
    Scans.Clear();
    Rebuilds.Clear();
    Anchors.Clear();
    Unread.Clear();
}

} // namespace qrv
