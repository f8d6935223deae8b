#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/cli_sink.h"
#include "common/op_state.h"

using namespace qrv;

namespace {

// Everything a sink wrote into a memory stream.
class TCapture {
  public:
    TCapture() { f_ = open_memstream(&buf_, &len_); }
    ~TCapture() {
        if (f_) std::fclose(f_);
        std::free(buf_);
    }
    std::FILE* File() { return f_; }
    std::string Text() {
        std::fflush(f_);
        return std::string(buf_, len_);
    }

  private:
    char* buf_ = nullptr;
    size_t len_ = 0;
    std::FILE* f_ = nullptr;
};

TUiMessage Msg(int type, std::initializer_list<std::string> texts) {
    TUiMessage m;
    m.MsgType = type;
    size_t i = 0;
    for (const auto& t : texts) m.P[i++] = t;
    return m;
}

} // namespace

TEST(CliSink, LogLinesWithoutBarWhenNotATerminal) {
    TCapture out;
    {
        TCliSink sink({.Out = out.File(), .Terminal = 0});
        EXPECT_FALSE(sink.Draws_Bar());
        sink.Handle_UIMessage(Msg(MSG_PROGRESS_START, {"100", "总块数:"}));
        sink.Handle_UIMessage(Msg(MSG_PROGRESS_STATUS, {"", "已扫描块数:5", "已发现:1"}));
        sink.Handle_UIMessage(Msg(MSG_LOG, {"扫描开始", "2026-12-09 11:04:25", "开始扫描,扫描对象:/dev/sdb"}));
        sink.Handle_UIMessage(Msg(MSG_LOG, {"错误类型:Scan0000", "2026-12-09 11:04:26", "错误内容:x"}));
        sink.Handle_UIMessage(Msg(MSG_PROGRESS_END, {}));
    }
    EXPECT_EQ(out.Text(), "扫描开始  2026-12-09 11:04:25  开始扫描,扫描对象:/dev/sdb\n"
                          "错误类型:Scan0000  2026-12-09 11:04:26  错误内容:x\n");
}

TEST(CliSink, BarOnATerminalIsClearedAroundLogLines) {
    TCapture out;
    TOpState op;
    op.Progress1 = 50;
    {
        TCliSink sink({.Out = out.File(), .Terminal = 1, .Width = 120, .Op = &op});
        sink.Handle_UIMessage(Msg(MSG_PROGRESS_START, {"200", "总块数:"}));
        sink.Handle_UIMessage(Msg(MSG_LOG, {"扫描开始", "d t", "desc"}));
        sink.Handle_UIMessage(Msg(MSG_PROGRESS_END, {}));
        std::string text = out.Text();
        EXPECT_NE(text.find("[#####...............]  25%  总块数:200"), std::string::npos) << text;
        // The log line starts on a cleared line and the bar comes back after it.
        size_t log = text.find("\r\033[K扫描开始  d t  desc\n");
        ASSERT_NE(log, std::string::npos) << text;
        EXPECT_NE(text.find("总块数:200", log), std::string::npos);
        EXPECT_EQ(text.substr(text.size() - 4), "\r\033[K"); // progress end removes the bar
    }
}

TEST(CliSink, BarTextClampsAndCutsToWidth) {
    EXPECT_EQ(TCliSink::Bar_Text(0, 0, "L", "", "", 80), "[....................]   0%  L0");
    EXPECT_EQ(TCliSink::Bar_Text(500, 100, "L", "a", "b", 80), "[####################] 100%  L100  a  b");
    EXPECT_EQ(TCliSink::Bar_Text(-3, 100, "L", "", "", 80), "[....................]   0%  L100");
    // Wide characters take two columns and are never split.
    std::string cut = TCliSink::Bar_Text(0, 7, "总块数:", "", "", 34);
    EXPECT_EQ(cut, "[....................]   0%  总块");
    EXPECT_LE(Text_Columns(cut), 33);
    EXPECT_EQ(Text_Columns("总块数:7"), 8);
}

TEST(CliSink, CollectsRowsWhenAsked) {
    TCapture out;
    TCliSink keep({.Out = out.File(), .Terminal = 0, .CollectRows = true});
    TCliSink drop({.Out = out.File(), .Terminal = 0});
    auto row = Msg(MSG_ADD_ROW, {"1", "0", "2026-01-02 03:04:05", "30秒", "1.00 MB", "0", "X9", "1.00 MB"});
    keep.Handle_UIMessage(row);
    drop.Handle_UIMessage(row);
    ASSERT_EQ(keep.Rows().size(), 1u);
    EXPECT_EQ(keep.Rows()[0].P, row.P);
    EXPECT_TRUE(drop.Rows().empty());
    EXPECT_EQ(out.Text(), ""); // rows are not printed by the sink
}
