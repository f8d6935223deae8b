#include "app/thumbnails.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPainter>

#include <atomic>

#include "common/op_state.h"
#include "export/preview_sample.h"
#include "platform/source_io.h"
#include "player/player.h"
#include "scan/records.h"

namespace qrv::app {

struct TThumbnails::TJob {
    int64_t ResultIndex = -1;
    uint64_t Generation = 0;
    TRebuildResult Result;
    std::string SourcePath;
    std::string Folder;
};

namespace {

// Process-wide count of scratch files, so that two windows (or tests) never
// pick the same name.
std::atomic<uint64_t> scratchCounter{0};

// The first picture of a result's preview sample: the sample is written to a
// scratch file that is removed again before this returns.
QImage Make_Thumbnail(const TRebuildResult& result, const std::string& sourcePath,
                      const std::string& folder) {
    if (sourcePath.empty() || Check_PreviewUsable(result) != PREVIEW_BUILT) return {};
    TSourcePtr src = Open_Source(sourcePath);
    if (!src) return {};
    const TPreviewOutput output = Default_PreviewOutput(sourcePath);
    const std::string path = folder + "/qrv-thumbnail-" + std::to_string(QCoreApplication::applicationPid()) +
                             "-" + std::to_string(++scratchCounter) + ".mp4";
    std::unique_ptr<TOutputFile> out = output.Create(path);
    if (!out) return {};
    QImage picture;
    if (Build_PreviewSample(result, *src, *out) == PREVIEW_BUILT) {
        // The sample is read under its temporary name; it is never committed.
        const std::string written = out->Temp_Path().empty() ? out->Path() : out->Temp_Path();
        if (auto img = Decode_FirstPicture(written, TThumbnails::kWidth, TThumbnails::kHeight)) {
            picture =
                QImage(img->Pixels.data(), img->Width, img->Height, img->Stride, QImage::Format_RGB32).copy();
        }
    }
    out->Close(); // removes the scratch file
    return picture;
}

} // namespace

TThumbnails::TThumbnails(QObject* parent) : QObject(parent) {}

TThumbnails::~TThumbnails() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        quit_ = true;
        queue_.clear();
        cv_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

const QImage& TThumbnails::Placeholder() {
    static const QImage image = [] {
        QImage i(kWidth, kHeight, QImage::Format_RGB32);
        i.fill(QColor(0xd8, 0xdd, 0xe3));
        QPainter p(&i);
        p.setPen(QColor(0x9a, 0xa4, 0xb0));
        p.drawRect(0, 0, kWidth - 1, kHeight - 1);
        // A small film frame in the middle.
        p.drawRect(kWidth / 2 - 9, kHeight / 2 - 6, 18, 12);
        return i;
    }();
    return image;
}

void TThumbnails::Request(TScanSession& session, int64_t resultIndex, const std::string& folder) {
    if (resultIndex < 0) return;
    auto job = std::make_shared<TJob>();
    job->ResultIndex = resultIndex;
    std::optional<TRebuildResult> r = session.Rebuilds.Copy_At(resultIndex);
    if (!r) return;
    job->Result = std::move(*r);
    job->SourcePath = session.SourcePath();
    job->Folder = folder;
    std::lock_guard<std::mutex> lk(mu_);
    job->Generation = generation_;
    queue_.push_back(std::move(job));
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    cv_.notify_one();
}

void TThumbnails::Cancel_All() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        ++generation_;
        queue_.clear();
    }
    pictures_.clear();
}

int TThumbnails::Pending() const {
    std::lock_guard<std::mutex> lk(mu_);
    return int(queue_.size()) + running_;
}

void TThumbnails::Run() {
    while (true) {
        std::shared_ptr<TJob> job;
        {
            std::unique_lock<std::mutex> lk(mu_);
            cv_.wait(lk, [&] { return quit_ || !queue_.empty(); });
            if (quit_) return;
            job = std::move(queue_.front());
            queue_.pop_front();
            running_ = 1;
        }
        QImage picture = Make_Thumbnail(job->Result, job->SourcePath, job->Folder);
        std::lock_guard<std::mutex> lk(mu_);
        running_ = 0;
        if (quit_) return;
        // Handed to the window thread, where a list cleared meanwhile drops it.
        QMetaObject::invokeMethod(
            this,
            [this, generation = job->Generation, index = job->ResultIndex, picture = std::move(picture)] {
                {
                    std::lock_guard<std::mutex> lk(mu_);
                    if (generation != generation_) return;
                }
                if (picture.isNull()) return;
                pictures_.insert(index, picture);
                emit Ready(index);
            },
            Qt::QueuedConnection);
    }
}

} // namespace qrv::app
