// The preview on the results page: the video panel pnl38 and the player that
// paints into it.
//
// The player engine calls back on its own threads. Every callback is handed
// to the window thread with a queued call (never a blocking one: stopping the
// engine waits for those threads) and carries the number of the playback it
// belongs to, so that a frame or position of a playback already stopped is
// dropped instead of painted.
#pragma once

#include <QImage>
#include <QLabel>
#include <QObject>
#include <QSlider>

#include <cstdint>
#include <memory>
#include <string>

namespace qrv {
class TPlayer;
}

namespace qrv::app {

// The panel: black with its caption while idle, the current frame while a
// recording plays, scaled to fit and centred (the aspect ratio kept).
class TVideoPanel : public QLabel {
    Q_OBJECT
  public:
    explicit TVideoPanel(const QString& caption, QWidget* parent = nullptr);
    void Show_Frame(QImage frame);
    // Back to the idle look (the caption on black).
    void Clear_Frame();
    bool Has_Frame() const { return !frame_.isNull(); }
    // The size of the frame shown, as the player made it.
    QSize Frame_Size() const { return frame_.size(); }
    // Where the frame is painted inside the panel (empty without a frame).
    QRect Frame_Rect() const;
    // The frame size the player is asked for: the panel in device pixels.
    QSize Target_Size() const;

  signals:
    void Resized();

  protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

  private:
    QImage frame_;
};

// The seek bar under the panel: a click on the groove jumps to the position
// under the mouse, a drag of the handle to where it is let go, the arrow and
// page keys by their steps; each asks for the position once.
class TSeekSlider : public QSlider {
    Q_OBJECT
  public:
    explicit TSeekSlider(QWidget* parent = nullptr);

  signals:
    void Seek_Requested(int value);

  protected:
    void mousePressEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
};

class TPreviewPlayer : public QObject {
    Q_OBJECT
  public:
    // Paints into panel; the position goes out as a signal.
    explicit TPreviewPlayer(TVideoPanel* panel, QObject* parent = nullptr);
    ~TPreviewPlayer() override;

    // The engine's libraries (linked in: always there).
    bool Libraries_Loaded() const;
    bool Load_Libraries(const std::string& folder);
    // Stops what plays and plays path from its start, frames sized to the
    // panel. False, with Last_Error, when the file cannot be played.
    bool Open_Play(const std::string& path);
    // Plays the file playing (or played) last from positionUs on; a paused
    // playback stays paused. False when nothing was opened since Stop.
    bool Seek(int64_t positionUs);
    // The length of the file playing in microseconds (0 when unknown or stopped).
    int64_t Duration_Us() const;
    // Stops playback and releases the file; the panel goes back to idle.
    void Stop();
    void Toggle_Pause();
    void Set_Mute(bool mute);
    std::string Last_Error() const;

    bool Playing() const;
    bool Paused() const;
    bool Muted() const;
    // Frames painted since the last Open_Play (0 after Stop).
    int Frames_Shown() const { return framesShown_; }

  signals:
    // The play position in microseconds (window thread).
    void Position(int64_t microseconds);
    // The recording played to its end, or failed to decode (window thread).
    void Ended(bool failed);

  private:
    void Update_TargetSize();
    bool Start(const std::string& path, int64_t startUs);
    TVideoPanel* panel_;
    std::string path_; // the file opened last ("" after Stop)
    std::unique_ptr<TPlayer> player_;
    // Number of the current playback; callbacks of older ones are dropped.
    uint64_t generation_ = 0;
    int framesShown_ = 0;
};

} // namespace qrv::app
