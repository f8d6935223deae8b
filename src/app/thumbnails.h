// Thumbnails of the results list: the first key frame of each listed
// recording, small. A thumbnail is made from the recording's preview sample
// (built into a scratch file in the temporary folder and removed at once) and
// decoded by the player engine, one recording after the other on a thread of
// its own, so the list never waits for one. Until its picture is ready, or
// when none can be decoded, a row shows a placeholder.
#pragma once

#include <QHash>
#include <QImage>
#include <QObject>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "scan/scan_session.h"

namespace qrv::app {

class TThumbnails : public QObject {
    Q_OBJECT
  public:
    // The size of a thumbnail (16:9, the cameras' frame shape).
    static constexpr int kWidth = 48;
    static constexpr int kHeight = 27;

    explicit TThumbnails(QObject* parent = nullptr);
    ~TThumbnails() override; // cancels and waits for the thread

    // Queues the thumbnail of result resultIndex of session. The
    // result and the source path are copied now (a load may replace both
    // while the thumbnail is made); samples go into folder.
    void Request(TScanSession& session, int64_t resultIndex, const std::string& folder);
    // Forgets every thumbnail and drops what is queued; a thumbnail being
    // made is thrown away when done (the list was cleared).
    void Cancel_All();
    // The picture of a result; null while it is made or when none decodes.
    QImage Picture(int64_t resultIndex) const { return pictures_.value(resultIndex); }
    // Thumbnails queued or being made.
    int Pending() const;
    // The picture shown while a thumbnail is made or when there is none.
    static const QImage& Placeholder();

  signals:
    // The picture of a result is ready (window thread).
    void Ready(qint64 resultIndex);

  private:
    struct TJob;
    void Run();
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::shared_ptr<TJob>> queue_;
    int running_ = 0;         // guarded by mu_
    uint64_t generation_ = 0; // guarded by mu_; bumped by Cancel_All
    bool quit_ = false;       // guarded by mu_
    std::thread thread_;
    QHash<qint64, QImage> pictures_; // window thread only
};

} // namespace qrv::app
