// The preview player engine: plays one media file with FFmpeg (libavformat,
// libavcodec, libswscale, libswresample) and SDL2 audio output. No window
// toolkit: video frames are handed out as 32-bit images scaled to a target
// size, and the front end paints them.
//
// Shape: a demux thread reads packets into one queue per stream; a video
// thread and an audio thread decode them. Audio is resampled to what SDL
// opened and pulled by SDL's callback; the audio clock is the master clock
// (a wall clock started at the first frame when there is no audio output),
// and each video frame is handed out when the master clock reaches it.
//
// Threads and callbacks: the callbacks run on the engine's threads, never on
// the caller's. A window must hand them over to its own thread (a queued
// call, never a blocking one: Stop waits for the engine's threads) and must
// not call Stop, Open_Play or the destructor from inside a
// callback (Stop joins the threads that run them). The control functions are
// meant for one thread (the window's); they are safe to call at any time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qrv {

// One video frame ready to paint: Width x Height pixels of 32 bits, each
// 0xffRRGGBB in native byte order (the layout of QImage::Format_RGB32), rows
// Stride bytes apart.
struct TVideoImage {
    int Width = 0;
    int Height = 0;
    int Stride = 0;
    std::vector<uint8_t> Pixels;
    int64_t PositionUs = 0; // the frame's play position
};

struct TPlayerCallbacks {
    // A frame is due now.
    std::function<void(std::shared_ptr<const TVideoImage>)> Frame;
    // The play position in microseconds from the start; called repeatedly
    // during playback, never decreasing within one file.
    std::function<void(int64_t positionUs)> Position;
    // The file played to its end. Called once; the file is released by then.
    std::function<void()> Ended;
    // Playback ended without a single decodable picture (or, in a file without
    // video, sound frame); called once, in place of Ended. The text is the
    // same as Last_Error.
    std::function<void(const std::string& text)> Error;
};

class TPlayer {
  public:
    TPlayer();
    ~TPlayer(); // stops
    TPlayer(const TPlayer&) = delete;
    TPlayer& operator=(const TPlayer&) = delete;

    // Callbacks for the files opened from now on.
    void Set_Callbacks(TPlayerCallbacks callbacks);

    // The decoding libraries are linked into the program, so they are always
    // loaded; Load_Libraries keeps the operation for the front end and only
    // reports success.
    static bool Libraries_Loaded() { return true; }
    bool Load_Libraries(const std::string& folder);

    // Stops what plays, opens path and plays it from the start. False (with
    // Last_Error set) when the file cannot be opened or has no stream that can
    // be decoded. While the file is open it is marked in the registry of
    // sample files in use.
    bool Open_Play(const std::string& path);
    // The same, playing from startUs microseconds on: the file is positioned
    // at the key frame before it and what lies before startUs is decoded but
    // neither shown nor sounded.
    bool Open_Play(const std::string& path, int64_t startUs);
    // The length of the file opened last in microseconds (0 when unknown or
    // nothing was opened since the last Stop). A seek is a new Open_Play
    // from the position.
    int64_t Duration_Us() const;
    // Stops playback, joins every thread, drains every queue and releases the
    // file. Does nothing when nothing plays.
    void Stop();
    void Toggle_Pause();
    bool Paused() const;
    // Silences the audio (it keeps running, so the clock does too) or restores it.
    void Set_Mute(bool mute);
    bool Muted() const;
    // Frames are scaled to fit inside width x height keeping their display
    // aspect ratio; 0 x 0 gives the frame's own display size. Takes effect
    // with the next frame.
    void Set_TargetSize(int width, int height);

    // A file is open and has not played to its end.
    bool Playing() const;
    // The file playing has sound and the audio output is open.
    bool Has_Audio() const;
    std::string Last_Error() const;

  private:
    struct TImpl;
    std::unique_ptr<TImpl> d_;
};

// The first picture of the file at path that decodes (the recording's first
// key frame), scaled to fit inside maxWidth x maxHeight keeping its display
// aspect ratio. nullptr, with *error when given, when the file has no video
// stream or no picture of it decodes. Runs on the caller's thread; used for
// the results list's thumbnails.
std::shared_ptr<TVideoImage> Decode_FirstPicture(const std::string& path, int maxWidth, int maxHeight,
                                                 std::string* error = nullptr);

} // namespace qrv
