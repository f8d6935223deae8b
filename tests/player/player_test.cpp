// The player engine, headless: SDL's dummy audio driver (or its disk driver,
// whose output file shows what was played) and a real camera recording.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "export/preview_sample.h"
#include "platform/output_guard.h"
#include "player/player.h"
#include "support/disk_image.h"
#include "support/recording_writer.h"
#include "support/test_env.h"

using namespace qrv;
using namespace std::chrono_literals;

namespace {

// What the callbacks reported.
struct TSeen {
    int Frames = 0, Ended = 0;
    std::vector<int64_t> Positions;
    std::shared_ptr<const TVideoImage> Last;
    std::string Error;
    int64_t Position() const { return Positions.empty() ? -1 : Positions.back(); }
    bool Monotonic() const { return std::is_sorted(Positions.begin(), Positions.end()); }
};

class TWatch {
  public:
    TPlayerCallbacks Callbacks() {
        auto on = [this](std::function<void(TSeen&)> f) {
            std::lock_guard<std::mutex> lk(mu_);
            f(seen_);
            cv_.notify_all();
        };
        TPlayerCallbacks cb;
        cb.Frame = [on](std::shared_ptr<const TVideoImage> img) {
            on([&](TSeen& s) { ++s.Frames, s.Last = img; });
        };
        cb.Position = [on](int64_t us) { on([&](TSeen& s) { s.Positions.push_back(us); }); };
        cb.Ended = [on] { on([](TSeen& s) { ++s.Ended; }); };
        cb.Error = [on](const std::string& t) { on([&](TSeen& s) { s.Error = t, ++s.Ended; }); };
        return cb;
    }
    // Waits up to a minute (sanitizer builds decode slowly).
    bool Wait(const std::function<bool(const TSeen&)>& pred) {
        std::unique_lock<std::mutex> lk(mu_);
        return cv_.wait_for(lk, 60s, [&] { return pred(seen_); });
    }
    bool Wait_End() {
        return Wait([](const TSeen& s) { return s.Ended > 0; });
    }
    TSeen Now() {
        std::lock_guard<std::mutex> lk(mu_);
        return seen_;
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    TSeen seen_;
};

double Seconds_Since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

class Player : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        test::TRecordingPlan s;
        s.Seed = 77;
        s.Seconds = 2.0;
        s.Width = 320;
        s.Height = 240;
        rec_ = std::make_unique<test::TRecording>(test::Make_Recording(s));
    }
    static void TearDownTestSuite() { rec_.reset(); }
    void SetUp() override {
        ::setenv("SDL_AUDIODRIVER", "dummy", 1);
        test::Save_Recording(*rec_, path);
    }
    static std::unique_ptr<test::TRecording> rec_;
    test::TTempDir dir{"qrv-player"};
    std::string path = dir.File("clip.mp4");
    TWatch watch;
};
std::unique_ptr<test::TRecording> Player::rec_;

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
    ASSERT_TRUE(watch.Wait_End());
    EXPECT_GE(Seconds_Since(t0), 1.6) << "two seconds of media are paced by the audio clock";
    EXPECT_FALSE(p.Playing());
    EXPECT_FALSE(Preview_InUse().In_Use(path)) << "released at the end";
    const TSeen s = watch.Now();
    EXPECT_EQ(s.Error, "");
    EXPECT_TRUE(s.Monotonic());
    EXPECT_GE(s.Position(), 1800000);
    EXPECT_LE(s.Position(), 2000000);

    // 320 x 240 fitted into 200 x 200 keeps 4:3; opaque pixels of the colour test picture.
    ASSERT_TRUE(s.Last);
    const TVideoImage& img = *s.Last;
    EXPECT_EQ(img.Width, 200);
    EXPECT_EQ(img.Height, 150);
    ASSERT_EQ(img.Pixels.size(), size_t(img.Stride) * size_t(img.Height));
    std::set<uint32_t> colours;
    for (size_t i = 0; i + 3 < img.Pixels.size(); i += 4) {
        uint32_t px;
        std::memcpy(&px, &img.Pixels[i], 4);
        EXPECT_EQ(px >> 24, 0xffu);
        colours.insert(px & 0xf0f0f0);
    }
    EXPECT_GT(colours.size(), 8u);
}

TEST_F(Player, PauseHoldsThePositionAndResumeGoesOn) {
    TPlayer p;
    p.Set_Callbacks(watch.Callbacks());
    ASSERT_TRUE(p.Open_Play(path)) << p.Last_Error();
    ASSERT_TRUE(watch.Wait([](const TSeen& s) { return s.Position() >= 300000; }));
    p.Toggle_Pause();
    EXPECT_TRUE(p.Paused());
    std::this_thread::sleep_for(300ms); // a frame already due may still arrive
    const TSeen paused = watch.Now();
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(watch.Now().Frames, paused.Frames);
    EXPECT_EQ(watch.Now().Position(), paused.Position());
    EXPECT_TRUE(p.Playing());
    EXPECT_TRUE(Preview_InUse().In_Use(path));
    p.Toggle_Pause();
    EXPECT_FALSE(p.Paused());
    ASSERT_TRUE(watch.Wait_End());
    EXPECT_GE(watch.Now().Position(), 1800000);
    EXPECT_TRUE(watch.Now().Monotonic());
}

TEST_F(Player, StopJoinsReleasesAndFailedOpensLeaveNothingHeld) {
    TPlayer p;
    p.Set_Callbacks(watch.Callbacks());
    ASSERT_TRUE(p.Open_Play(path)) << p.Last_Error();
    ASSERT_TRUE(watch.Wait([](const TSeen& s) { return s.Frames > 0; }));
    p.Toggle_Pause(); // a paused player stops as well
    p.Stop();
    EXPECT_FALSE(p.Playing());
    EXPECT_FALSE(p.Paused());
    EXPECT_FALSE(Preview_InUse().In_Use(path));
    const int frames = watch.Now().Frames;
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(watch.Now().Frames, frames) << "no callback after Stop returned";
    EXPECT_EQ(watch.Now().Ended, 0);
    p.Stop(); // twice is harmless

    // Opening again restarts; a new file stops the old one.
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
        ASSERT_TRUE(w.Wait_End());
        EXPECT_GE(w.Now().Position(), 1800000);
        p.Stop();
        const auto bytes = test::Read_File(out);
        ASSERT_GT(bytes.size(), 16000u); // a second of 16 kHz mono at least
        EXPECT_EQ(std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; }), mute);
    }
}

// Zero-filled samples in the middle, as in a sample whose media was not all
// found: decoding errors are skipped and playback reaches the end. A file
// whose pictures are all gone reports an error instead of an end.
TEST_F(Player, DamagedFilePlaysThroughToItsEnd) {
    auto bytes = rec_->Bytes;
    for (size_t i = 10; i < 30; ++i) {
        const auto& v = rec_->Video.at(i);
        std::fill_n(bytes.begin() + v.Offset, v.Size, 0);
        for (const auto& s : v.Sound)
            std::fill_n(bytes.begin() + s.Offset, s.Size, 0);
    }
    const std::string damaged = dir.File("damaged.mp4");
    test::Write_File(damaged, bytes);
    TPlayer p;
    p.Set_Callbacks(watch.Callbacks());
    ASSERT_TRUE(p.Open_Play(damaged)) << p.Last_Error();
    ASSERT_TRUE(watch.Wait_End());
    EXPECT_EQ(watch.Now().Error, "");
    EXPECT_TRUE(watch.Now().Monotonic());
    EXPECT_GE(watch.Now().Position(), 1800000);

    bytes = rec_->Bytes;
    std::fill(bytes.begin() + rec_->MdatDataOff, bytes.begin() + rec_->MdatOff + rec_->MdatSize, 0);
    test::Write_File(damaged, bytes);
    TWatch w2;
    p.Set_Callbacks(w2.Callbacks());
    if (p.Open_Play(damaged)) {
        ASSERT_TRUE(w2.Wait_End());
        EXPECT_NE(w2.Now().Error, "");
        EXPECT_EQ(w2.Now().Error, p.Last_Error());
    } else {
        EXPECT_NE(p.Last_Error(), "");
    }
}

// A sample of a long recording: its movie header describes more media than
// the 4 MiB window holds, so the samples after the window point into the
// movie header and past the end of the file. Playback stops there.
TEST_F(Player, SampleCutAtItsWindowPlaysToItsEnd) {
    test::TRecordingPlan plan;
    plan.Seed = 78;
    plan.Seconds = 4.0;
    plan.Width = 640;
    plan.Height = 480;
    plan.Quality = 4;
    const test::TRecording big = test::Make_Recording(plan);
    ASSERT_GT(big.MdatSize, 6 << 20) << "the media must not fit in the window";
    const std::string rec = dir.File("long.mp4");
    test::Save_Recording(big, rec);
    // The recording file as the medium: head sector, media, movie header last.
    TRebuildResult r;
    r.CamerType = 2;
    const int64_t ranges[3][3] = {{ENTRY_MOVIE, big.MoovOff, big.MoovOff + big.MoovLen},
                                  {ENTRY_FILE_HEAD, 0, 512},
                                  {ENTRY_DATA, 512, big.MoovOff}};
    for (const auto& [type, soff, eoff] : ranges) {
        TFragmenArr e;
        e.FragmenType = uint8_t(type);
        e.FragmeSnum = type == ENTRY_DATA ? 0 : -1;
        e.FragmenSoff = soff;
        e.FragmenEoff = eoff;
        r.FragmenArray.push_back(e);
    }
    r.Fragmenum = 3;
    const std::string sample = dir.File("JN0A0928");
    {
        auto src = Open_Source(rec);
        auto out = TOutputFile::Create(sample, TOutputGuard::Without_Sources());
        ASSERT_TRUE(src && out);
        ASSERT_EQ(Build_PreviewSample(r, *src, *out), PREVIEW_BUILT);
        ASSERT_TRUE(out->Commit_Replacing());
    }
    TPlayer p;
    p.Set_Callbacks(watch.Callbacks());
    ASSERT_TRUE(p.Open_Play(sample)) << p.Last_Error();
    ASSERT_TRUE(watch.Wait_End());
    const TSeen s = watch.Now();
    EXPECT_EQ(s.Error, "");
    EXPECT_GT(s.Frames, 0);
    EXPECT_TRUE(s.Monotonic());
    EXPECT_LT(s.Position(), 3500000) << "only the window's media plays";
}

// The clocks that stand in: without an audio output the wall clock paces the
// pictures; a file without pictures reports positions from the audio clock.
TEST_F(Player, WallClockWithoutAudioOutputAndSoundOnlyFiles) {
    ::setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    {
        TPlayer p;
        p.Set_Callbacks(watch.Callbacks());
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(p.Open_Play(path)) << p.Last_Error();
        EXPECT_FALSE(p.Has_Audio());
        ASSERT_TRUE(watch.Wait_End());
        EXPECT_GE(Seconds_Since(t0), 1.6);
        EXPECT_GE(watch.Now().Position(), 1800000);
        EXPECT_TRUE(watch.Now().Monotonic());
    }
    ::setenv("SDL_AUDIODRIVER", "dummy", 1);
    const std::string sound = dir.File("sound.m4a");
    ASSERT_EQ(test::Run_Command("ffmpeg -nostdin -v error -i '" + path + "' -vn -c copy '" + sound + "'"), 0);
    TWatch w;
    TPlayer p;
    p.Set_Callbacks(w.Callbacks());
    ASSERT_TRUE(p.Open_Play(sound)) << p.Last_Error();
    EXPECT_TRUE(p.Has_Audio());
    ASSERT_TRUE(w.Wait_End());
    const TSeen s = w.Now();
    EXPECT_EQ(s.Error, "");
    EXPECT_EQ(s.Frames, 0);
    EXPECT_GT(s.Positions.size(), 10u);
    EXPECT_TRUE(s.Monotonic());
    EXPECT_GE(s.Position(), 1500000);
}
