#include <gtest/gtest.h>

#include <thread>

#include "common/op_state.h"
#include "common/ui_message.h"
#include "results/results_model.h"
#include "results/search.h"
#include "scan/records.h"

using namespace qrv;

namespace {

TFragmenArr Frag(uint8_t type, bool dup = false) {
    TFragmenArr f;
    f.FragmenType = type;
    f.ChongHeFlag = dup;
    return f;
}

TRebuildResult Result(std::vector<TFragmenArr> frags, const std::string& date = "2019-05-12 10:33:21",
                      const std::string& model = "DV-A8", int64_t real = 1000) {
    TRebuildResult r;
    r.FragmenArray = std::move(frags);
    r.Fragmenum = int32_t(r.FragmenArray.size());
    r.CreateTime = date;
    r.CarmerModel = model;
    r.Durting = "61.5";
    r.Leavelx = 2;
    r.MdatLenx = 3 << 20;
    r.TrueFileLen = real;
    return r;
}

class ResultsView : public ::testing::Test {
  protected:
    void SetUp() override {
        rec = std::make_shared<TRecordingSink>();
        model = std::make_shared<TResultsModel>();
        model->Set_Session(shared);
        Set_UISink(std::make_shared<TResultsSink>(model, rec));
    }
    void TearDown() override { Set_UISink(nullptr); }
    // Adds a row directly, as message 5 would.
    void Row(const std::string& caption, const std::string& level, const std::string& modelText,
             const std::string& date, int64_t index = 0) {
        TUiMessage m;
        m.MsgType = MSG_ADD_ROW;
        m.P = {caption, level, date, "1秒", "1 KB", "", modelText, "1 KB"};
        m.Number = index;
        model->Apply_Message(m);
    }
    std::vector<std::string> Column(int c) const {
        std::vector<std::string> out;
        for (const auto& r : model->Rows())
            out.push_back(c == 0 ? r.Caption : r.Sub[size_t(c - 1)]);
        return out;
    }
    std::vector<bool> Checks() const {
        std::vector<bool> out;
        for (const auto& r : model->Rows())
            out.push_back(r.Checked);
        return out;
    }
    std::shared_ptr<TRecordingSink> rec;
    std::shared_ptr<TResultsModel> model;
    std::shared_ptr<TScanSession> shared = std::make_shared<TScanSession>();
    TScanSession& session = *shared;
};

} // namespace

TEST(SizeText, UnitsAndRounding) {
    EXPECT_EQ(Size_Text(0), "0Byte");
    EXPECT_EQ(Size_Text(1018), "1018Byte");
    EXPECT_EQ(Size_Text(1019), "1.00 KB");
    EXPECT_EQ(Size_Text(1048575), "1.00 MB");
    EXPECT_EQ(Size_Text(int64_t(1) << 30), "1.00 GB");
    EXPECT_EQ(Size_Text(int64_t(1) << 41), "2048.00 GB");
    EXPECT_EQ(Size_Text(1536), "1.50 KB");
    // 1.125 KB lies exactly halfway: halves go to the even neighbour.
    EXPECT_EQ(Size_Text(1152), "1.12 KB");
    EXPECT_EQ(Size_Text(1408), "1.38 KB"); // 1.375 -> 1.38
}

TEST_F(ResultsView, FillListsOnlyResultsWithAHeaderThatIsNotADuplicate) {
    session.Rebuilds.Append(Result({Frag(1)}));                // lone fragment
    session.Rebuilds.Append(Result({Frag(1), Frag(2)}));       // listed
    session.Rebuilds.Append(Result({Frag(1, true), Frag(2)})); // only a duplicate header
    session.Rebuilds.Append(Result({Frag(2), Frag(3)}));       // header of kind 3
    session.Rebuilds.Append(Result({}));                       // nothing at all
    EXPECT_EQ(To_View(session, 0, session.Rebuilds.Count()), 2);
    ASSERT_EQ(model->Count(), 2);
    TResultRow r = model->Row(0);
    EXPECT_EQ(r.Caption, "1");
    EXPECT_EQ(r.Sub, (std::array<std::string, 7>{"2", "DV-A8", "2019-05-12 10:33:21", "61.5秒", "3.00 MB",
                                                 "1000Byte", ""}));
    EXPECT_EQ(r.ImageIndex, 11);
    EXPECT_EQ(model->Row(1).Caption, "2");
    EXPECT_EQ(r.ResultIndex, 1);
    EXPECT_EQ(model->Row(1).ResultIndex, 3);
    // Message 5 carries P1..P8 in the channel's order, the result index as a number.
    auto rows = rec->OfType(MSG_ADD_ROW);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].P[1], "2");
    EXPECT_EQ(rows[0].P[2], "2019-05-12 10:33:21");
    EXPECT_EQ(rows[0].Number, 1);
    EXPECT_EQ(rows[0].P[6], "DV-A8");
    auto all = rec->Messages();
    EXPECT_EQ(all.front().MsgType, MSG_PROGRESS_START);
    EXPECT_EQ(all.front().P[0], "5");
    EXPECT_EQ(all.front().P[1], "分析总数量:");
    EXPECT_EQ(all.back().MsgType, MSG_PROGRESS_END);
    auto logs = rec->OfType(MSG_LOG);
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[0].P[2], "分析总数量:5;开始生成结果");
    EXPECT_EQ(logs[1].P[2], "显示扫描结果完成!");
    // A part of the list only.
    model->Clear();
    EXPECT_EQ(To_View(session, 2, 4), 1);
    EXPECT_EQ(model->Row(0).Caption, "1");
    EXPECT_EQ(model->Row(0).ResultIndex, 3);
}

TEST_F(ResultsView, LevelIcons) {
    EXPECT_EQ(Level_Icon("0"), 9);
    EXPECT_EQ(Level_Icon("1"), 10);
    EXPECT_EQ(Level_Icon("2"), 11);
    EXPECT_EQ(Level_Icon("3"), 12);
    EXPECT_EQ(Level_Icon("7"), 9);
    EXPECT_EQ(Level_Icon(""), 9);
}

TEST_F(ResultsView, SelectionTotalsAndCheckCommands) {
    session.Rebuilds.Append(Result({Frag(1), Frag(2)}, "2019-05-12", "A", int64_t(1) << 30));
    session.Rebuilds.Append(Result({Frag(1), Frag(2)}, "2019-05-12", "B", int64_t(512) << 20));
    session.Rebuilds.Append(Result({Frag(1), Frag(2)}, "2019-05-12", "C", 7));
    To_View(session, 0, 3);
    EXPECT_EQ(model->Selection_Totals(), "");
    model->Set_Checked(0, true);
    model->Set_Checked(1, true);
    EXPECT_EQ(model->Selection_Totals(), "选中数量:2 选中容量:1.50 GB");
    model->Invert_Checks();
    EXPECT_EQ(Checks(), (std::vector<bool>{false, false, true}));
    EXPECT_EQ(model->Selection_Totals(), "选中数量:1 选中容量:7Byte");
    model->Check_All();
    EXPECT_EQ(Checks(), (std::vector<bool>{true, true, true}));
    model->Clear_Checks();
    EXPECT_EQ(model->Selection_Totals(), "");
    // A row whose hidden index points nowhere counts but adds nothing.
    Row("9", "0", "X", "2019-05-12", 99);
    model->Set_Checked(3, true);
    EXPECT_EQ(model->Selection_Totals(), "选中数量:1 选中容量:0Byte");
    // With no rows, inverting changes nothing and the totals stay empty.
    model->Clear();
    model->Invert_Checks();
    EXPECT_EQ(model->Count(), 0);
    EXPECT_EQ(model->Selection_Totals(), "");
}

// Check marks changed on a worker thread are announced on that thread after
// the change, outside the lock (the observer may read the model); a mark set
// to what it already was announces nothing.
TEST_F(ResultsView, CheckObserverSeesEveryChangeFromAnyThread) {
    Row("1", "0", "A", "2019-05-12");
    Row("2", "0", "B", "2019-05-12");
    std::vector<std::string> seen;
    model->Set_CheckObserver([&] {
        std::string marks;
        for (int64_t i = 0; i < model->Count(); ++i)
            marks += model->Checked(i) ? '1' : '0';
        seen.push_back(marks);
    });
    std::thread worker([&] {
        model->Set_Checked(1, true);
        model->Set_Checked(1, true); // unchanged
        model->Set_Checked(5, true); // no such row
        model->Invert_Checks();
        model->Check_All();
        model->Clear_Checks();
    });
    worker.join();
    EXPECT_EQ(seen, (std::vector<std::string>{"01", "10", "11", "00"}));
    model->Set_CheckObserver({});
    model->Check_All();
    EXPECT_EQ(seen.size(), 4u);
}

TEST_F(ResultsView, SortAlternatesAndSharesItsDirection) {
    Row("1", "0", "bravo", "2019-05-12");
    Row("2", "3", "Alpha", "2019-05-13");
    Row("10", "1", "charlie", "2019-05-11");
    Row("9", "2", "ALPHA2", "2019-05-10");
    model->Sort_ByColumn(2); // model, descending
    EXPECT_EQ(Column(2), (std::vector<std::string>{"charlie", "bravo", "ALPHA2", "Alpha"}));
    model->Sort_ByColumn(2); // ascending
    EXPECT_EQ(Column(2), (std::vector<std::string>{"Alpha", "ALPHA2", "bravo", "charlie"}));
    model->Sort_ByColumn(0); // another column continues: descending
    EXPECT_EQ(Column(0), (std::vector<std::string>{"9", "2", "10", "1"}));
    model->Sort_ByColumn(0); // numbers sort as text
    EXPECT_EQ(Column(0), (std::vector<std::string>{"1", "10", "2", "9"}));
    // Hidden indexes travel with their rows.
    for (const auto& r : model->Rows())
        EXPECT_EQ(r.ResultIndex, 0);
    // A column that does not exist keeps the order.
    model->Sort_ByColumn(42);
    EXPECT_EQ(Column(0), (std::vector<std::string>{"1", "10", "2", "9"}));
}

// Durations and lengths sort by their numbers, not their texts: "10秒" after
// "9秒", "900 KB" before "1.20 MB" before "2.00 GB" (and "7Byte" first).
TEST_F(ResultsView, DurationAndLengthsSortAsNumbers) {
    const struct {
        const char* duration;
        const char* length;
    } rows[] = {{"9秒", "1.20 MB"}, {"10秒", "900 KB"}, {"100秒", "2.00 GB"}, {"2秒", "7Byte"}};
    for (const auto& r : rows) {
        TUiMessage m;
        m.MsgType = MSG_ADD_ROW;
        m.P = {"1", "0", "2019-05-12", r.duration, r.length, "-", "M", r.length};
        model->Apply_Message(m);
    }
    const struct {
        int column;
        std::vector<std::string> shown;
    } sorts[] = {
        {1 + COL_DURATION, {"100秒", "10秒", "9秒", "2秒"}}, // descending first
        {1 + COL_DURATION, {"2秒", "9秒", "10秒", "100秒"}},
        {1 + COL_LENGTH, {"2.00 GB", "1.20 MB", "900 KB", "7Byte"}},
        {1 + COL_REAL, {"7Byte", "900 KB", "1.20 MB", "2.00 GB"}},
    };
    for (const auto& s : sorts) {
        model->Sort_ByColumn(s.column);
        EXPECT_EQ(Column(s.column), s.shown) << "column " << s.column;
    }
    EXPECT_EQ(Sort_Number(model->Row(0), 1 + COL_REAL), 7.0);
    EXPECT_EQ(Sort_Number(model->Row(0), 1 + COL_MODEL), std::nullopt);
}

TEST_F(ResultsView, SearchByDateRangeAndModel) {
    Row("1", "0", "DV-A8", "2019-05-12 10:33:21");
    Row("2", "0", "XDV-8", "2019-05-01 08:00:00");
    Row("3", "0", "DV-A8", "2019-06-30 23:59:59");
    Row("4", "0", "DV-A8", "2019-07-01 00:00:00");
    Row("5", "0", "DV-A8", "2019-05-13 00:00:00");
    Row("6", "0", "DV-A8", "");           // no date: never matches
    Row("7", "0", "DV-A8", "2019-0x-12"); // unreadable date
    int64_t n = -1;
    EXPECT_EQ(FindFile(session.Op, *model, "2019-05-12", "2019-05-12", "", &n), TFindOutcome::Done);
    EXPECT_EQ(Checks(), (std::vector<bool>{true, false, false, false, false, false, false}));
    EXPECT_EQ(n, 1);
    EXPECT_EQ(FindFile(session.Op, *model, "2019-05-12", "2019-06-03", "", &n), TFindOutcome::Done);
    EXPECT_EQ(Checks(), (std::vector<bool>{true, true, true, false, true, false, false}));
    EXPECT_EQ(FindFile(session.Op, *model, "2019/05/01", "2019/07/31", "dv", &n), TFindOutcome::Done);
    EXPECT_EQ(Checks(), (std::vector<bool>{true, true, true, true, true, false, false}));
    EXPECT_EQ(FindFile(session.Op, *model, "2019-05-01", "2019-07-31", "xdv", &n), TFindOutcome::Done);
    EXPECT_EQ(Checks(), (std::vector<bool>{false, true, false, false, false, false, false}));
    // Months are tested independently of years: November to February matches nothing.
    rec->Clear();
    EXPECT_EQ(FindFile(session.Op, *model, "2018-11-01", "2020-02-01", "", &n), TFindOutcome::Done);
    EXPECT_EQ(Checks(), std::vector<bool>(7, false));
    EXPECT_EQ(n, 0);
    auto status = rec->OfType(MSG_PROGRESS_STATUS);
    ASSERT_EQ(status.size(), 7u);
    EXPECT_EQ(status.back().P[1], "已查找:7");
    EXPECT_EQ(status.back().P[2], "符合条件数量:0");
    EXPECT_EQ(rec->Messages().back().MsgType, MSG_PROGRESS_END);
}

// The stop button during a search: rows not looked at are not matches, and
// the closing line says how far it got.
TEST_F(ResultsView, StoppedSearchChecksOnlyRowsItLookedAt) {
    for (int i = 1; i <= 5; ++i)
        Row(std::to_string(i), "0", "DV-A8", "2019-05-12 10:33:21");
    model->Check_All();
    class TStopAfterTwo : public TRecordingSink {
      public:
        void Handle_UIMessage(const TUiMessage& m) override {
            TRecordingSink::Handle_UIMessage(m);
            if (m.MsgType == MSG_PROGRESS_STATUS && ++seen_ == 2) Bound_OpState()->StopFlag = true;
        }

      private:
        int seen_ = 0;
    };
    auto stopper = std::make_shared<TStopAfterTwo>();
    Set_UISink(stopper);
    session.Op.StopFlag = false;
    const TFindOutcome outcome = FindFile(session.Op, *model, "2019-05-01", "2019-05-31", "");
    session.Op.StopFlag = false;
    EXPECT_EQ(outcome, TFindOutcome::Stopped);
    EXPECT_EQ(Checks(), (std::vector<bool>{true, true, false, false, false}));
    std::vector<std::string> closing;
    for (const auto& m : stopper->OfType(MSG_LOG))
        if (m.P[0] == "搜索完成") closing.push_back(m.P[2]);
    EXPECT_EQ(closing, (std::vector<std::string>{"搜索已停止! 已查找:2"}));
}

TEST_F(ResultsView, SearchGuards) {
    int64_t n = -1;
    // No rows: nothing happens at all.
    EXPECT_EQ(FindFile(session.Op, *model, "2019-05-12", "2019-05-12", "", &n), TFindOutcome::NotRun);
    EXPECT_TRUE(rec->Messages().empty());
    Row("1", "0", "DV", "2019-05-12 10:00:00");
    model->Set_Checked(0, true);
    EXPECT_EQ(FindFile(session.Op, *model, "", "", "", &n), TFindOutcome::NotRun);
    EXPECT_TRUE(rec->Messages().empty());
    EXPECT_TRUE(model->Checked(0));
    // One date missing or malformed: refused with a log line, checks untouched.
    for (auto [a, b] : {std::pair{"2019-05-12", ""}, std::pair{"", "2019-05-12"},
                        std::pair{"2019-5-12", "2019-05-12"}, std::pair{"2019-05-12", "20190512"}}) {
        rec->Clear();
        EXPECT_EQ(FindFile(session.Op, *model, a, b, "", &n), TFindOutcome::Refused);
        auto logs = rec->OfType(MSG_LOG);
        ASSERT_EQ(logs.size(), 1u);
        EXPECT_NE(logs[0].P[0].find("错误"), std::string::npos);
        EXPECT_TRUE(rec->OfType(MSG_PROGRESS_START).empty());
        EXPECT_TRUE(model->Checked(0));
    }
    EXPECT_FALSE(Split_Date("2019-05-1"));
    EXPECT_EQ(Split_Date("2019x05y12")->Day, 12);
}
