// Several threads sending through the channel at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "common/cli_sink.h"
#include "common/language.h"
#include "common/op_state.h"
#include "common/ui_message.h"

using namespace qrv;

namespace {

class SinkGuard {
  public:
    explicit SinkGuard(std::shared_ptr<TUiSink> s) : old_(Set_UISink(std::move(s))) {}
    ~SinkGuard() { Set_UISink(old_); }

  private:
    std::shared_ptr<TUiSink> old_;
};

} // namespace

TEST(ChannelThreaded, EveryMessageArrivesIntact) {
    auto rec = std::make_shared<TRecordingSink>();
    SinkGuard guard(rec);
    constexpr int kPerThread = 2000;
    auto worker = [](int id) {
        for (int i = 0; i < kPerThread; ++i) {
            std::string n = std::to_string(i), t = std::to_string(id);
            Send_UIMessage(MSG_ADD_ROW, {t, n, t + ":" + n, "d", "e", "f", "g", std::string(size_t(i % 50), 'x')});
        }
    };
    std::thread a(worker, 1), b(worker, 2);
    a.join();
    b.join();

    auto msgs = rec->Messages();
    ASSERT_EQ(msgs.size(), size_t(2 * kPerThread));
    std::map<std::string, int> next; // each thread's messages arrive in its sending order
    for (const auto& m : msgs) {
        ASSERT_EQ(m.MsgType, MSG_ADD_ROW);
        const std::string& t = m.P[0];
        int i = std::stoi(m.P[1]);
        EXPECT_EQ(i, next[t]++);
        EXPECT_EQ(m.P[2], t + ":" + m.P[1]);
        EXPECT_EQ(m.P[7], std::string(size_t(i % 50), 'x'));
    }
    EXPECT_EQ(next["1"], kPerThread);
    EXPECT_EQ(next["2"], kPerThread);
    EXPECT_EQ(rec->OfType(MSG_ADD_ROW).size(), msgs.size());
}

TEST(ChannelThreaded, CliSinkKeepsLinesWhole) {
    char* buf = nullptr;
    size_t len = 0;
    std::FILE* f = open_memstream(&buf, &len);
    auto sink = std::make_shared<TCliSink>(TCliSinkOptions{.Out = f, .Terminal = 1, .Width = 200});
    {
        SinkGuard guard(sink);
        Send_UIMessage(MSG_PROGRESS_START, {"1000", "总数:"});
        auto worker = [](char c) {
            for (int i = 0; i < 500; ++i) {
                Send_UIMessage(MSG_LOG, {std::string(10, c), "d", std::string(30, c)});
                Send_UIMessage(MSG_PROGRESS_STATUS, {"", "s", std::to_string(i)});
            }
        };
        std::thread a(worker, 'a'), b(worker, 'b');
        a.join();
        b.join();
        Send_UIMessage(MSG_PROGRESS_END);
    }
    sink.reset();
    std::fclose(f);
    std::string text(buf, len);
    std::free(buf);
    // Every log line appears whole, right after a cleared line.
    int lines = 0;
    for (char c : {'a', 'b'}) {
        std::string line = "\r\033[K" + std::string(10, c) + "  d  " + std::string(30, c) + "\n";
        for (size_t p = text.find(line); p != std::string::npos; p = text.find(line, p + 1)) ++lines;
    }
    EXPECT_EQ(lines, 1000);
}

TEST(ChannelThreaded, TranslationWhileTheTableIsReplaced) {
    TLanguageTable t;
    t.Add("开始", "Start");
    Set_LanguageTable(t);
    Set_Language(1);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            std::string s = Tr("开始");
            ASSERT_TRUE(s == "Start" || s == "Begin") << s;
        }
    });
    for (int i = 0; i < 2000; ++i) {
        TLanguageTable u;
        u.Add("开始", i % 2 ? "Start" : "Begin");
        Set_LanguageTable(std::move(u));
    }
    stop = true;
    reader.join();
    Set_Language(0);
    Set_LanguageTable(TLanguageTable());
}

// Work done ahead on a helper thread stays out of the gauges and status
// panels while its logs still arrive; the thread showing progress is not
// muted by it, and the quiet ends with its scope.
TEST(ChannelThreaded, QuietProgressMutesOnlyItsThreadsGaugesAndPanels) {
    auto sink = std::make_shared<TRecordingSink>();
    auto old = Set_UISink(sink);
    const int types[] = {MSG_LOG, MSG_PROGRESS_STATUS, MSG_STATUS2, MSG_SHOW_GAUGE2, MSG_GAUGE2_RANGE,
                         MSG_STATUS3, MSG_STATUS2_FROM_P3, MSG_ADD_ROW};
    std::thread helper([&] {
        TQuietProgress quiet;
        for (int t : types) Send_UIMessage(t, {"helper"});
    });
    helper.join();
    for (int t : types) Send_UIMessage(t, {"shown"});
    {
        TQuietProgress quiet;
    }
    Send_UIMessage(MSG_STATUS3, {"after"});
    Set_UISink(old);
    std::vector<std::string> got;
    for (const TUiMessage& m : sink->Messages()) got.push_back(std::to_string(m.MsgType) + ":" + m.P[0]);
    std::vector<std::string> want = {std::to_string(MSG_LOG) + ":helper", std::to_string(MSG_ADD_ROW) + ":helper"};
    for (int t : types) want.push_back(std::to_string(t) + ":shown");
    want.push_back(std::to_string(MSG_STATUS3) + ":after");
    EXPECT_EQ(got, want);
}

// What each progress event leaves in the operation state's progress record,
// which the window polls instead of handling the status events; a quiet
// thread leaves it alone.
TEST(ChannelThreaded, ProgressRecordFollowsEachKind) {
    struct TCase {
        const char* name;
        TUiMessage event;
        bool quiet;
        std::string status2, status3;
        int64_t total1, total2;
        bool active;
    };
    auto msg = [](int type, std::initializer_list<std::string> texts) {
        TUiMessage m;
        m.MsgType = type;
        size_t i = 0;
        for (const auto& t : texts)
            m.P[i++] = t;
        return m;
    };
    const TCase cases[] = {
        {"start clears the texts", Progress_StartEvent(1536, "总块数:"), false, "", "", 1536, 0, true},
        {"start from texts only", msg(MSG_PROGRESS_START, {"77", "x"}), false, "", "", 77, 0, true},
        {"start with a text that is no number", msg(MSG_PROGRESS_START, {"7x", "x"}), false, "", "", 0, 0,
         true},
        {"status sets both panels", msg(MSG_PROGRESS_STATUS, {"", "a2", "a3"}), false, "a2", "a3", 10, 0,
         true},
        {"panel 2", msg(MSG_STATUS2, {"", "b2", "zz"}), false, "b2", "s3", 10, 0, true},
        {"panel 3", msg(MSG_STATUS3, {"zz", "zz", "c3"}), false, "s2", "c3", 10, 0, true},
        {"panel 2 from text 3", msg(MSG_STATUS2_FROM_P3, {"", "zz", "d2"}), false, "d2", "s3", 10, 0, true},
        {"second gauge", Gauge2_RangeEvent(40), false, "s2", "s3", 10, 40, true},
        {"end", msg(MSG_PROGRESS_END, {}), false, "s2", "s3", 10, 0, false},
        {"a quiet thread's status", msg(MSG_PROGRESS_STATUS, {"", "q2", "q3"}), true, "s2", "s3", 10, 0,
         true},
        {"a quiet thread's range", Gauge2_RangeEvent(9), true, "s2", "s3", 10, 0, true},
    };
    auto rec = std::make_shared<TRecordingSink>();
    SinkGuard guard(rec);
    TOpState op;
    const TOpBinding reporting(op);
    TProgressRecord& r = op.Record;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        // Each case starts from a running operation showing "s2" and "s3".
        Send_UIMessage(Progress_StartEvent(10, "l"));
        Send_UIMessage(MSG_PROGRESS_STATUS, {"", "s2", "s3"});
        const uint64_t before = r.Version.load();
        std::thread sender([&] {
            const TOpBinding sending(op); // the sender reports for the same operation
            std::optional<TQuietProgress> quiet;
            if (c.quiet) quiet.emplace();
            Send_UIMessage(c.event);
        });
        sender.join();
        const TProgressTexts t = r.Texts();
        EXPECT_EQ(t.Status2, c.status2);
        EXPECT_EQ(t.Status3, c.status3);
        EXPECT_EQ(r.Total1.load(), c.total1);
        EXPECT_EQ(r.Total2.load(), c.total2);
        EXPECT_EQ(r.Active.load(), c.active);
        EXPECT_EQ(r.Version.load() > before, !c.quiet);
    }
}

// The record is read while two workers publish into it: every text read is
// one that was written whole, and the last ones stay.
TEST(ChannelThreaded, ProgressRecordReadWhileWorkersPublish) {
    SinkGuard guard(nullptr);
    constexpr int kSends = 5000;
    TOpState op;
    const TOpBinding reporting(op);
    Send_UIMessage(Progress_StartEvent(kSends, "n"));
    std::atomic<bool> done{false};
    auto whole = [](const std::string& s, char c) {
        if (s.empty()) return true;
        if (s[0] != c || s.size() < 3 || s[1] != ':') return false;
        return s.find_first_not_of("0123456789", 2) == std::string::npos;
    };
    int bad = 0, reads = 0;
    // The reader reads at least once: the writers may finish before it starts.
    std::thread reader([&] {
        do {
            const TProgressTexts t = op.Record.Texts();
            bad += !whole(t.Status2, 'a') + !whole(t.Status3, 'b');
            ++reads;
        } while (!done);
    });
    std::thread a([&op] {
        const TOpBinding sending(op);
        for (int i = 0; i < kSends; ++i)
            Send_UIMessage(MSG_STATUS2, {"", "a:" + std::to_string(i)});
    });
    std::thread b([&op] {
        const TOpBinding sending(op);
        for (int i = 0; i < kSends; ++i)
            Send_UIMessage(MSG_STATUS3, {"", "", "b:" + std::to_string(i)});
    });
    a.join();
    b.join();
    done = true;
    reader.join();
    EXPECT_EQ(bad, 0);
    EXPECT_GT(reads, 0);
    const TProgressTexts t = op.Record.Texts();
    EXPECT_EQ(t.Status2, "a:" + std::to_string(kSends - 1));
    EXPECT_EQ(t.Status3, "b:" + std::to_string(kSends - 1));
}
