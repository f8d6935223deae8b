// The player engine, headless: SDL's dummy audio driver (or its disk driver,
// whose output file shows what was played) and a real camera recording.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "export/preview_sample.h"
#include "player/player.h"
#include "support/disk_image.h"
#include "support/recording_writer.h"
#include "support/test_env.h"

using namespace qrv;
using namespace std::chrono_literals;

namespace {

// Everything the callbacks reported, with waits for it.
class TWatch {
  public:
    TPlayerCallbacks Callbacks() {
        TPlayerCallbacks cb;
        cb.Frame = [this](std::shared_ptr<const TVideoImage> img) {
            std::lock_guard<std::mutex> lk(mu_);
            ++frames_;
            last_ = std::move(img);
            cv_.notify_all();
        };
        cb.Position = [this](int64_t us) {
            std::lock_guard<std::mutex> lk(mu_);
            positions_.push_back(us);
            cv_.notify_all();
        };
        cb.Ended = [this] {
            std::lock_guard<std::mutex> lk(mu_);
            ++ended_;
            cv_.notify_all();
        };
        cb.Error = [this](const std::string& text) {
            std::lock_guard<std::mutex> lk(mu_);
            error_ = text;
            ++ended_;
            cv_.notify_all();
        };
        return cb;
    }
    // Waits up to a minute (sanitizer builds decode slowly) for the condition.
    template <class P> bool Wait(P pred) {
        std::unique_lock<std::mutex> lk(mu_);
        return cv_.wait_for(lk, 60s, [&] { return pred(*this); });
    }
    int Frames() const { return frames_; }
    int Ended() const { return ended_; }
    int64_t Position() const { return positions_.empty() ? -1 : positions_.back(); }
    // Snapshot accessors take the lock.
    int Frames_Now() {
        std::lock_guard<std::mutex> lk(mu_);
        return frames_;
    }
    int64_t Position_Now() {
        std::lock_guard<std::mutex> lk(mu_);
        return Position();
    }
    std::vector<int64_t> Positions() {
        std::lock_guard<std::mutex> lk(mu_);
        return positions_;
    }
    std::shared_ptr<const TVideoImage> Last() {
        std::lock_guard<std::mutex> lk(mu_);
        return last_;
    }
    std::string Error() {
        std::lock_guard<std::mutex> lk(mu_);
        return error_;
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    int frames_ = 0, ended_ = 0;
    std::vector<int64_t> positions_;
    std::shared_ptr<const TVideoImage> last_;
    std::string error_;
};

bool Non_Decreasing(const std::vector<int64_t>& v) {
    return std::is_sorted(v.begin(), v.end());
}

class Player : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        test::TRecordingSpec s;
        s.Seed = 77;
        s.Seconds = 2.0;
        s.Width = 320;
        s.Height = 240;
        rec_ = new test::TRecording(test::Make_Recording(s));
    }
    static void TearDownTestSuite() {
        delete rec_;
        rec_ = nullptr;
    }
    void SetUp() override {
        ::setenv("SDL_AUDIODRIVER", "dummy", 1);
        path = dir.File("clip.mp4");
        test::Save_Recording(*rec_, path);
    }
    static test::TRecording* rec_;
    test::TTempDir dir{"qrv-player"};
    std::string path;
    TWatch watch;
};
test::TRecording* Player::rec_ = nullptr;

} // namespace

TEST_F(Player, PlaysToTheEndInRealTimeWithScaledFrames) {
    TPlayer p;
    EXPECT_TRUE(TPlayer::Libraries_Loaded());
    EXPECT_TRUE(p.Load_Libraries("/nowhere/LibAV"));
    p.Set_Callbacks(watch.Callbacks());
    p.Set_TargetSize(200, 200);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(p.Open_Play(path)) << p.Last_Error();
    EXPECT_TRUE(p.Has_Audio());
    EXPECT_TRUE(Preview_InUse().In_Use(path)) << "the file held by the player is marked";
    ASSERT_TRUE(watch.Wait([](TWatch& w) { return w.Ended() > 0; }));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(seconds, 1.6) << "two seconds of media are paced by the audio clock";
    EXPECT_EQ(watch.Error(), "");
    EXPECT_FALSE(p.Playing());
    EXPECT_FALSE(Preview_InUse().In_Use(path)) << "released at the end";

    // 320 x 240 fitted into 200 x 200 keeps 4:3; opaque pixels of the colour test picture.
    auto img = watch.Last();
    ASSERT_TRUE(img);
    EXPECT_EQ(img->Width, 200);
    EXPECT_EQ(img->Height, 150);
    ASSERT_EQ(img->Pixels.size(), size_t(img->Stride) * size_t(img->Height));
    std::set<uint32_t> colours;
    for (size_t i = 0; i + 3 < img->Pixels.size(); i += 4) {
        uint32_t px;
        std::memcpy(&px, &img->Pixels[i], 4);
        EXPECT_EQ(px >> 24, 0xffu);
        colours.insert(px & 0xf0f0f0);
    }
    EXPECT_GT(colours.size(), 8u);
    const auto pos = watch.Positions();
    EXPECT_TRUE(Non_Decreasing(pos));
    ASSERT_FALSE(pos.empty());
    EXPECT_GE(pos.back(), 1800000);
    EXPECT_LE(pos.back(), 2000000);
    EXPECT_GT(watch.Frames_Now(), 0);
}

TEST_F(Player, PauseHoldsThePositionAndResumeGoesOn) {
    TPlayer p;
    p.Set_Callbacks(watch.Callbacks());
    ASSERT_TRUE(p.Open_Play(path)) << p.Last_Error();
    ASSERT_TRUE(watch.Wait([](TWatch& w) { return w.Position() >= 300000; }));
    p.Toggle_Pause();
    EXPECT_TRUE(p.Paused());
    std::this_thread::sleep_for(100ms); // a frame already due may still arrive
    const int frames = watch.Frames_Now();
    const int64_t at = watch.Position_Now();
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(watch.Frames_Now(), frames);
    EXPECT_EQ(watch.Position_Now(), at);
    EXPECT_TRUE(p.Playing());
    EXPECT_TRUE(Preview_InUse().In_Use(path));
    p.Toggle_Pause();
    EXPECT_FALSE(p.Paused());
    ASSERT_TRUE(watch.Wait([](TWatch& w) { return w.Ended() > 0; }));
    EXPECT_GT(watch.Position_Now(), at);
    EXPECT_TRUE(Non_Decreasing(watch.Positions()));
}

TEST_F(Player, StopJoinsReleasesAndFailedOpensLeaveNothingHeld) {
    TPlayer p;
    p.Set_Callbacks(watch.Callbacks());
    ASSERT_TRUE(p.Open_Play(path)) << p.Last_Error();
    ASSERT_TRUE(watch.Wait([](TWatch& w) { return w.Frames() > 0; }));
    p.Toggle_Pause(); // a paused player stops as well
    p.Stop();
    EXPECT_FALSE(p.Playing());
    EXPECT_FALSE(p.Paused());
    EXPECT_FALSE(Preview_InUse().In_Use(path));
    const int frames = watch.Frames_Now();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(watch.Frames_Now(), frames) << "no callback after Stop returned";
    EXPECT_EQ(watch.Ended(), 0);
    p.Stop(); // twice is harmless

    // Opening again restarts from the beginning; a new file stops the old one.
    ASSERT_TRUE(p.Open_Play(path));
    ASSERT_TRUE(p.Open_Play(path));
    EXPECT_TRUE(Preview_InUse().In_Use(path));

    const std::string junk = dir.File("junk.mp4");
    test::Write_File(junk, test::Pattern_Bytes(100000, 3));
    for (const std::string& bad : {dir.File("missing.mp4"), junk}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(p.Open_Play(bad));
        EXPECT_NE(p.Last_Error(), "");
        EXPECT_FALSE(p.Playing());
        EXPECT_FALSE(Preview_InUse().In_Use(bad));
        EXPECT_FALSE(Preview_InUse().In_Use(path)) << "the file before was stopped";
    }
}

// SDL's disk driver writes what the player outputs into a file: muted, the
// output is silence; unmuted, it carries the recording's sound.
TEST_F(Player, MuteSilencesTheOutputButKeepsTheClock) {
    const std::string out = dir.File("sound.raw");
    ::setenv("SDL_AUDIODRIVER", "disk", 1);
    ::setenv("SDL_DISKAUDIOFILE", out.c_str(), 1);
    for (bool mute : {true, false}) {
        SCOPED_TRACE(mute);
        TWatch w;
        TPlayer p;
        p.Set_Callbacks(w.Callbacks());
        p.Set_Mute(mute);
        EXPECT_EQ(p.Muted(), mute);
        ASSERT_TRUE(p.Open_Play(path)) << p.Last_Error();
        ASSERT_TRUE(p.Has_Audio());
        ASSERT_TRUE(w.Wait([](TWatch& x) { return x.Ended() > 0; }));
        EXPECT_GE(w.Position_Now(), 1800000);
        p.Stop();
        const auto bytes = test::Read_File(out);
        ASSERT_GT(bytes.size(), 16000u); // a second of 16 kHz mono at least
        const bool silent = std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
        EXPECT_EQ(silent, mute);
    }
}

// Zero-filled samples in the middle of a recording, as in a sample whose media
// was not all found: decoding errors are skipped and playback reaches the end.
TEST_F(Player, DamagedFilePlaysThroughToItsEnd) {
    auto bytes = rec_->Bytes;
    for (size_t i = 10; i < 30 && i < rec_->Video.size(); ++i) {
        const auto& v = rec_->Video[i];
        std::fill_n(bytes.begin() + v.Offset, v.Size, 0);
        for (const auto& s : v.Sound)
            std::fill_n(bytes.begin() + s.Offset, s.Size, 0);
    }
    const std::string damaged = dir.File("damaged.mp4");
    test::Write_File(damaged, bytes);
    TPlayer p;
    p.Set_Callbacks(watch.Callbacks());
    ASSERT_TRUE(p.Open_Play(damaged)) << p.Last_Error();
    ASSERT_TRUE(watch.Wait([](TWatch& w) { return w.Ended() > 0; }));
    EXPECT_EQ(watch.Error(), "");
    EXPECT_TRUE(Non_Decreasing(watch.Positions()));
    EXPECT_GE(watch.Position_Now(), 1800000);

    // A file whose pictures are all gone reports an error instead of an end.
    bytes = rec_->Bytes;
    std::fill(bytes.begin() + rec_->MdatDataOff, bytes.begin() + rec_->MdatOff + rec_->MdatSize, 0);
    test::Write_File(damaged, bytes);
    TWatch w2;
    p.Set_Callbacks(w2.Callbacks());
    if (p.Open_Play(damaged)) {
        ASSERT_TRUE(w2.Wait([](TWatch& w) { return w.Ended() > 0; }));
        EXPECT_NE(w2.Error(), "");
        EXPECT_EQ(w2.Error(), p.Last_Error());
    } else {
        EXPECT_NE(p.Last_Error(), "");
    }
}

// A sample of a long recording: its movie header describes more media than
// the 4 MiB window holds, so the samples after the window point into the
// movie header and past the end of the file. Playback stops there.
TEST_F(Player, SampleCutAtItsWindowPlaysToItsEnd) {
    test::TRecordingSpec s;
    s.Seed = 78;
    s.Seconds = 4.0;
    s.Width = 640;
    s.Height = 480;
    s.Quality = 4;
    const test::TRecording big = test::Make_Recording(s);
    ASSERT_GT(big.MdatSize, 6 << 20) << "the media must not fit in the window";
    const std::string rec = dir.File("long.mp4");
    test::Save_Recording(big, rec);

    auto entry = [](uint8_t type, int64_t soff, int64_t eoff, int32_t chunk) {
        TFragmenArr e;
        e.FragmenType = type;
        e.FragmeSnum = chunk;
        e.FragmenSoff = soff;
        e.FragmenEoff = eoff;
        e.FragmentLastErySoff = std::to_string(soff);
        return e;
    };
    TRebuildResult r;
    r.CamerType = 2;
    r.FragmenArray = {entry(ENTRY_MOVIE, big.MoovOff, big.MoovOff + big.MoovLen, -1),
                      entry(ENTRY_FILE_HEAD, 0, 512, -1), entry(ENTRY_DATA, 512, big.MoovOff, 0)};
    r.Fragmenum = 3;
    const std::string sample = dir.File("JN0A0928");
    {
        auto src = Open_Source(rec);
        auto out = TOutputFile::Create(sample);
        ASSERT_TRUE(src && out);
        ASSERT_EQ(Build_PreviewSample(r, *src, *out), PREVIEW_BUILT);
        ASSERT_TRUE(out->Close());
    }
    TPlayer p;
    p.Set_Callbacks(watch.Callbacks());
    ASSERT_TRUE(p.Open_Play(sample)) << p.Last_Error();
    ASSERT_TRUE(watch.Wait([](TWatch& w) { return w.Ended() > 0; }));
    EXPECT_EQ(watch.Error(), "");
    EXPECT_GT(watch.Frames_Now(), 0);
    EXPECT_TRUE(Non_Decreasing(watch.Positions()));
    EXPECT_LT(watch.Position_Now(), 3500000) << "only the window's media plays";
}
