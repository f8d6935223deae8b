#include "app/preview_panel.h"

#include <QKeyEvent>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QStyle>
#include <QStyleOptionSlider>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "player/player.h"

namespace qrv::app {

// ------------------------------------------------------------------ panel

TVideoPanel::TVideoPanel(const QString& caption, QWidget* parent) : QLabel(caption, parent) {
    setAlignment(Qt::AlignCenter);
    setWordWrap(true);
    setStyleSheet("QLabel { background: black; color: white; }");
}

void TVideoPanel::Show_Frame(QImage frame) {
    frame_ = std::move(frame);
    update();
}

void TVideoPanel::Clear_Frame() {
    frame_ = QImage();
    update();
}

QRect TVideoPanel::Frame_Rect() const {
    if (frame_.isNull() || frame_.width() <= 0 || frame_.height() <= 0) return {};
    const QSize fitted = frame_.size().scaled(size(), Qt::KeepAspectRatio);
    return QRect(QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted);
}

QSize TVideoPanel::Target_Size() const {
    const qreal dpr = devicePixelRatioF();
    return QSize(qRound(width() * dpr), qRound(height() * dpr));
}

void TVideoPanel::paintEvent(QPaintEvent* e) {
    if (frame_.isNull()) {
        QLabel::paintEvent(e);
        return;
    }
    QPainter p(this);
    p.fillRect(rect(), Qt::black);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(Frame_Rect(), frame_);
}

void TVideoPanel::resizeEvent(QResizeEvent* e) {
    QLabel::resizeEvent(e);
    emit Resized();
}

// ------------------------------------------------------------------ seek bar

TSeekSlider::TSeekSlider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
    setFocusPolicy(Qt::StrongFocus);
    connect(this, &QSlider::sliderReleased, this, [this] { emit Seek_Requested(value()); });
}

void TSeekSlider::mousePressEvent(QMouseEvent* e) {
    QStyleOptionSlider opt;
    initStyleOption(&opt);
    const QRect handle = style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, this);
    if (e->button() != Qt::LeftButton || handle.contains(e->position().toPoint()) || maximum() <= minimum()) {
        QSlider::mousePressEvent(e);
        return;
    }
    // A click beside the handle: straight to the position under the mouse.
    const QRect groove = style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderGroove, this);
    const int span = std::max(1, groove.width() - handle.width());
    const int x = int(e->position().x()) - groove.x() - handle.width() / 2;
    const int v = QStyle::sliderValueFromPosition(minimum(), maximum(), x, span, opt.upsideDown);
    setValue(v);
    e->accept();
    emit Seek_Requested(v);
}

void TSeekSlider::keyPressEvent(QKeyEvent* e) {
    const int before = value();
    QSlider::keyPressEvent(e);
    if (value() != before) emit Seek_Requested(value());
}

// ------------------------------------------------------------------ player

namespace {

// What one playback's callbacks share with the window thread: the newest
// frame and position not yet shown, and whether a hand-over is on its way.
struct TPending {
    std::mutex Mu;
    QImage Frame;
    std::atomic<bool> FramePosted{false};
    std::atomic<int64_t> PositionUs{-1};
    std::atomic<bool> PositionPosted{false};
};

// Wraps an engine frame without copying its pixels; the frame stays alive as
// long as the image does.
QImage To_Image(const std::shared_ptr<const TVideoImage>& img) {
    if (!img || img->Width <= 0 || img->Height <= 0 || img->Stride < img->Width * 4 ||
        img->Pixels.size() < size_t(img->Stride) * size_t(img->Height))
        return {};
    auto* keep = new std::shared_ptr<const TVideoImage>(img);
    return QImage(
        img->Pixels.data(), img->Width, img->Height, img->Stride, QImage::Format_RGB32,
        [](void* p) { delete static_cast<std::shared_ptr<const TVideoImage>*>(p); }, keep);
}

} // namespace

TPreviewPlayer::TPreviewPlayer(TVideoPanel* panel, QObject* parent)
    : QObject(parent), panel_(panel), player_(std::make_unique<TPlayer>()) {
    connect(panel_, &TVideoPanel::Resized, this, &TPreviewPlayer::Update_TargetSize);
    Update_TargetSize();
}

TPreviewPlayer::~TPreviewPlayer() {
    // Joins the engine's threads: no callback runs after this.
    player_->Stop();
}

bool TPreviewPlayer::Libraries_Loaded() const {
    return TPlayer::Libraries_Loaded();
}

bool TPreviewPlayer::Load_Libraries(const std::string& folder) {
    return player_->Load_Libraries(folder);
}

void TPreviewPlayer::Update_TargetSize() {
    const QSize s = panel_->Target_Size();
    player_->Set_TargetSize(s.width(), s.height());
}

bool TPreviewPlayer::Open_Play(const std::string& path) {
    return Start(path, 0);
}

bool TPreviewPlayer::Seek(int64_t positionUs) {
    if (path_.empty()) return false;
    const bool paused = Paused();
    if (!Start(path_, std::max<int64_t>(positionUs, 0))) return false;
    if (paused) player_->Toggle_Pause();
    return true;
}

int64_t TPreviewPlayer::Duration_Us() const {
    return path_.empty() ? 0 : player_->Duration_Us();
}

bool TPreviewPlayer::Start(const std::string& path, int64_t startUs) {
    path_ = path;
    const uint64_t generation = ++generation_;
    framesShown_ = 0;
    auto pending = std::make_shared<TPending>();
    // Each hand-over runs on the window thread and does nothing once a newer
    // playback started or the player stopped.
    auto current = [this, generation] { return generation == generation_; };
    TPlayerCallbacks cb;
    cb.Frame = [this, pending, current](std::shared_ptr<const TVideoImage> img) {
        QImage frame = To_Image(img);
        if (frame.isNull()) return;
        {
            std::lock_guard<std::mutex> lk(pending->Mu);
            pending->Frame = std::move(frame);
        }
        if (pending->FramePosted.exchange(true)) return;
        QMetaObject::invokeMethod(
            this,
            [this, pending, current] {
                pending->FramePosted = false;
                QImage shown;
                {
                    std::lock_guard<std::mutex> lk(pending->Mu);
                    shown = std::move(pending->Frame);
                    pending->Frame = QImage();
                }
                if (!current() || shown.isNull()) return;
                ++framesShown_;
                panel_->Show_Frame(std::move(shown));
            },
            Qt::QueuedConnection);
    };
    cb.Position = [this, pending, current](int64_t us) {
        pending->PositionUs = us;
        if (pending->PositionPosted.exchange(true)) return;
        QMetaObject::invokeMethod(
            this,
            [this, pending, current] {
                pending->PositionPosted = false;
                if (current()) emit Position(pending->PositionUs.load());
            },
            Qt::QueuedConnection);
    };
    auto ended = [this, pending, current](bool failed) {
        QMetaObject::invokeMethod(
            this,
            [this, pending, current, failed] {
                if (!current()) return;
                // The last position first: the end shows where playback stopped.
                if (pending->PositionUs.load() >= 0) emit Position(pending->PositionUs.load());
                emit Ended(failed);
            },
            Qt::QueuedConnection);
    };
    cb.Ended = [ended] { ended(false); };
    cb.Error = [ended](const std::string&) { ended(true); };
    player_->Set_Callbacks(std::move(cb));
    Update_TargetSize();
    return player_->Open_Play(path, startUs);
}

void TPreviewPlayer::Stop() {
    path_.clear();
    ++generation_;
    framesShown_ = 0;
    player_->Stop();
    panel_->Clear_Frame();
}

void TPreviewPlayer::Toggle_Pause() {
    player_->Toggle_Pause();
}

void TPreviewPlayer::Set_Mute(bool mute) {
    player_->Set_Mute(mute);
}

std::string TPreviewPlayer::Last_Error() const {
    return player_->Last_Error();
}

bool TPreviewPlayer::Playing() const {
    return player_->Playing();
}

bool TPreviewPlayer::Paused() const {
    return player_->Paused();
}

bool TPreviewPlayer::Muted() const {
    return player_->Muted();
}

} // namespace qrv::app
