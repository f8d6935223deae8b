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

void TScanSession::Clear_Records() {
    Scans.Clear();
    Rebuilds.Clear();
    Anchors.Clear();
    Unread.Clear();
}

} // namespace qrv
