// The message channel as the window receives it, the progress dialog, and the
// worker helper: every message type sent from a worker thread and from the
// window thread, the dialog's timer texts and stop question, workers that
// fail, the log's icons in English, and how often the dialog moves during a
// real scan.
#include <QCheckBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QtTest>
#include <optional>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/main_window.h"
#include "app/progress_dialog.h"
#include "app/scan_start.h"
#include "app/worker.h"
#include "app_test_support.h"
#include "common/language.h"
#include "common/op_state.h"
#include "common/text_format.h"

using namespace qrv;
using namespace qrv::app;
using namespace qrv::apptest;

Q_DECLARE_METATYPE(qrv::TUiMessage)

namespace {

TUiMessage Msg(int type, std::initializer_list<const char*> texts = {}) {
    TUiMessage m;
    m.MsgType = type;
    size_t i = 0;
    for (const char* t : texts)
        m.P[i++] = t;
    return m;
}

TUiMessage Log(TSeverity severity, const char* kind) {
    TUiMessage m = Msg(0, {kind, "t", "x"});
    m.Severity = severity;
    return m;
}

QString Row_Texts(const QTreeWidgetItem* it) {
    QStringList t;
    for (int c = 0; c < it->columnCount(); ++c)
        t << it->text(c);
    return t.join('|');
}

} // namespace

class TChannelTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TProgramFolder> folder_;
    std::unique_ptr<TBoxRecorder> boxes_;
    std::unique_ptr<TForm1> form_;
    // The messages this thread sends report for the operation the window shows.
    std::optional<TOpBinding> reporting_;
    std::unique_ptr<QDialog> region_;

    template <class T> T* W(const char* name) {
        T* w = form_->findChild<T*>(name);
        if (!w) w = form_->Form2()->findChild<T*>(name);
        if (!w) qFatal("no widget %s", name);
        return w;
    }

    // What the window shows, one observable at a time.
    QString Probe(const QString& key) {
        auto* log = W<QTreeWidget>("lvlog");
        auto* rows = W<QTreeView>("lvScanResult");
        const QAbstractItemModel* results = rows->model();
        const int lastRow = results->rowCount() - 1;
        auto cell = [&](int c, int role) { return results->index(lastRow, c).data(role); };
        auto index = [](QTreeWidget* t) { return QString::number(t->indexOfTopLevelItem(t->currentItem())); };
        auto last = [](QTreeWidget* t) { return t->topLevelItem(t->topLevelItemCount() - 1); };
        TForm2* d = form_->Form2();
        if (key == "log") return QString::number(log->topLevelItemCount());
        if (key == "log.last") return Row_Texts(last(log));
        if (key == "log.icon") return QString::number(Image_Of(last(log)->icon(0)));
        if (key == "log.current") return index(log);
        if (key == "dialog") return QString::number(d->isVisible());
        if (key == "enabled")
            return QString::number(W<QWidget>("pnl1")->isEnabled() && W<QWidget>("pgc1")->isEnabled());
        if (key == "timer") return QString::number(W<QTimer>("tmr1")->isActive());
        if (key.startsWith("p") && key.size() == 2) return d->Panel(key.mid(1).toInt());
        if (key.startsWith("g")) {
            auto* g = W<QProgressBar>(key.left(2).toLatin1());
            if (key.endsWith(".max")) return QString::number(g->maximum());
            if (key.endsWith(".value")) return QString::number(g->value());
            return g->text();
        }
        if (key == "pnl3") return QString::number(W<QWidget>("pnl3")->isVisibleTo(d));
        if (key == "rows") return QString::number(results->rowCount());
        if (key == "row.last") {
            QStringList t;
            for (int c = 0; c < results->columnCount(); ++c)
                t << cell(c, Qt::DisplayRole).toString();
            return t.join('|');
        }
        if (key == "row.icon")
            return QString::number(Image_Of(qvariant_cast<QIcon>(cell(0, Qt::DecorationRole))));
        if (key == "row.check") return QString::number(cell(0, Qt::CheckStateRole).toInt());
        if (key == "row.current") return QString::number(rows->currentIndex().row());
        if (key == "page") return QString::number(W<QTabWidget>("pgc1")->currentIndex());
        if (key == "region") return QString::number(region_->isVisible());
        if (key == "expanded") {
            auto* tree = W<QTreeWidget>("vrtlstrngtr1");
            return QString::number(tree->topLevelItem(0)->isExpanded() &&
                                   tree->topLevelItem(0)->child(0)->isExpanded());
        }
        if (key == "box") return boxes_->Boxes.empty() ? QString() : boxes_->Boxes.back().Text;
        qFatal("unknown probe %s", qPrintable(key));
    }

    void Expect(const QString& expected) {
        for (const QString& pair : expected.split(';', Qt::SkipEmptyParts)) {
            const int eq = pair.indexOf('=');
            const QString key = pair.left(eq);
            QCOMPARE(key + "=" + Probe(key), pair);
        }
    }

    // Sends from a worker thread, letting the window thread run meanwhile.
    void Send_FromWorker(const TUiMessage& m) {
        std::atomic<bool> done{false};
        std::thread t([&] {
            const TOpBinding reporting(*form_->Running_Op()); // a worker reports for the operation shown
            Send_UIMessage(m);
            done = true;
        });
        const bool finished = QTest::qWaitFor([&] { return done.load(); }, 5000);
        t.join();
        if (!finished) qFatal("a worker's send did not return");
    }

    // The window handles what workers posted, and the dialog polls the
    // progress record as its timer would.
    void Settle() {
        QCoreApplication::sendPostedEvents();
        form_->Form2()->Poll_Progress();
    }

  private slots:
    void init() {
        folder_ = std::make_unique<TProgramFolder>();
        boxes_ = std::make_unique<TBoxRecorder>();
        form_ = std::make_unique<TForm1>(folder_->Path());
        form_->Set_EnumRoots(No_Disks());
        form_->show();
        reporting_.emplace(*form_->Running_Op());
        form_->Running_Op()->Mark_Start();
        // A region dialog and a collapsed tree, for the message that closes the one and expands the other.
        region_ = std::make_unique<QDialog>(form_.get());
        region_->show();
        form_->Set_RegionDialog(region_.get());
        auto* tree = W<QTreeWidget>("vrtlstrngtr1");
        tree->clear(); // in place of the computer the refresh showed
        auto* root = new QTreeWidgetItem(tree, {"root"});
        new QTreeWidgetItem(new QTreeWidgetItem(root, {"disk"}), {"volume"});
        tree->collapseAll();
        // A scan hides the second gauge until its analysis begins.
        form_->Form2()->Show_SecondGauge(false);
    }
    void cleanup() {
        reporting_.reset();
        region_.reset();
        form_.reset();
        boxes_.reset();
        folder_.reset();
    }

    void messages_data() {
        QTest::addColumn<QList<TUiMessage>>("setup");
        QTest::addColumn<TUiMessage>("message");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("fromWorker");
        const TUiMessage start = Msg(1, {"5", "总块数:"});
        const TUiMessage row = Msg(5, {"1", "0", "d", "1秒", "1 KB", "0", "m", "1 KB"});
        struct TRow {
            const char* name;
            QList<TUiMessage> setup;
            TUiMessage message;
            const char* expected;
        };
        const TRow rows[] = {
            {"0 ordinary line",
             {},
             Msg(0, {"扫描开始", "2024-03-01 09:05:07", "开始扫描,扫描对象:E:"}),
             "log=1;log.last=扫描开始|2024-03-01 09:05:07|开始扫描,扫描对象:E:;log.icon=5;log.current=0"},
            {"0 error line is newest and selected",
             {Msg(0, {"镜像开始", "t", "a"})},
             [] {
                 TUiMessage m = Msg(0, {"错误类型:Image0001", "t", "错误内容:创建文件失败,程序将退出!"});
                 m.Severity = TSeverity::Error;
                 return m;
             }(),
             "log=2;log.icon=4;log.current=1"},
            {"0 warning marked as an error", {}, Log(TSeverity::Warning, "错误"), "log.icon=4"},
            // The icon follows the severity, never the words of the kind.
            {"0 info line whatever its kind says", {}, Log(TSeverity::Info, "错误[Play0002]"), "log.icon=5"},
            {"0 error line whatever its kind says", {}, Log(TSeverity::Error, "Save failed"), "log.icon=4"},
            {"1 progress start",
             {Msg(2, {"", "old2", "old3"})},
             Msg(1, {"1536", "总块数:"}),
             "dialog=1;enabled=0;timer=1;p0=;p1=总块数:1536;p2=;p3=;g1.max=1536;g1.value=0;g2.text=0%;pnl3="
             "0"},
            {"1 total 0 is an empty gauge",
             {},
             Msg(1, {"0", "分析总数量:"}),
             "dialog=1;enabled=0;g1.text=0%;g1.value=0;p1=分析总数量:0"},
            {"1 not a number is an empty total",
             {},
             Msg(1, {"abc", "x"}),
             "dialog=1;enabled=0;p1=x0;g1.value=0"},
            {"1 beyond 32 bits fills the gauge at its largest",
             {},
             Msg(1, {"4294967296", "x"}),
             "dialog=1;p1=x4294967296;g1.max=2147483647"},
            {"2 status panels",
             {start},
             Msg(2, {"", "已扫描块数:3", "已发现:1"}),
             "p2=已扫描块数:3;p3=已发现:1"},
            {"3 progress end", {start}, Msg(3), "dialog=0;enabled=1;timer=0"},
            {"4 region done", {start}, Msg(4), "region=0;enabled=1;expanded=1"},
            {"5 level 0 row",
             {},
             [] { // the result index travels as a number
                 TUiMessage m = Msg(
                     5, {"1", "0", "2024-03-01 09:05:07", "12.5秒", "1.50 MB", "", "VANTO-X1", "1.48 MB"});
                 m.Number = 7;
                 return m;
             }(),
             "rows=1;row.last=1|0|VANTO-X1|2024-03-01 09:05:07|12.5秒|1.50 MB|1.48 "
             "MB|7;row.icon=9;row.check=0"},
            {"5 level 1 row", {}, Msg(5, {"1", "1"}), "row.icon=10"},
            {"5 level 2 row", {}, Msg(5, {"1", "2"}), "row.icon=11"},
            {"5 level 3 row", {}, Msg(5, {"1", "3"}), "row.icon=12"},
            {"5 other level text", {}, Msg(5, {"1", "03"}), "row.icon=9"},
            {"6 shows results", {}, Msg(6), "page=1"},
            {"6 while disabled", {start}, Msg(6), "page=1;enabled=0"},
            {"7 status panel 2",
             {start, Msg(2, {"", "a", "b"})},
             Msg(7, {"", "已保存文件数量:2"}),
             "p2=已保存文件数量:2;p3=b"},
            {"8 selects a row", {row, row, row}, Msg(8, {"1"}), "row.current=1"},
            {"8 outside the list", {row, row}, Msg(8, {"2"}), "row.current=-1"},
            {"8 not a number selects nothing", {row}, Msg(8, {"1x"}), "row.current=-1"},
            {"9 starts playback", {}, Msg(9), "box=播放器无法播放此类型文件程序将退出!"},
            {"10 shows results", {start}, Msg(10), "page=1"},
            {"11 status panel 3", {start}, Msg(11, {"", "", "x3"}), "p3=x3;p2="},
            {"12 second gauge", {start}, Msg(12), "pnl3=1"},
            {"13 nothing",
             {start},
             Msg(13, {"9", "9", "9"}),
             "dialog=1;enabled=0;p2=;p3=;log=0;rows=0;page=0;pnl3=0"},
            {"14 nothing", {start}, Msg(14, {"9", "9", "9"}), "dialog=1;p2=;p3=;log=0;rows=0"},
            {"15 second gauge range", {start}, Msg(15, {"40"}), "g2.max=40;g2.value=0"},
            {"15 not a number is an empty gauge", {start}, Msg(15, {""}), "g2.max=1;g2.value=0"},
            {"16 status panel 3", {start}, Msg(16, {"", "", "已判断数量:4"}), "p3=已判断数量:4;p2="},
            {"17 nothing", {start}, Msg(17, {"9", "9", "9"}), "p2=;p3=;log=0"},
            {"18 status panel 3", {start}, Msg(18, {"", "", "y"}), "p3=y"},
            {"19 status panel 2 from text 3", {start}, Msg(19, {"", "x2", "y3"}), "p2=y3;p3="},
            {"20 nothing", {start}, Msg(20, {"9", "9", "9"}), "dialog=1;p2=;p3=;log=0;rows=0;page=0"},
        };
        for (bool worker : {true, false})
            for (const TRow& r : rows)
                QTest::addRow("%s from %s", r.name, worker ? "worker" : "window")
                    << r.setup << r.message << QString::fromUtf8(r.expected) << worker;
    }
    void messages() {
        QFETCH(QList<TUiMessage>, setup);
        QFETCH(TUiMessage, message);
        QFETCH(QString, expected);
        QFETCH(bool, fromWorker);
        for (const TUiMessage& m : setup)
            Send_UIMessage(m);
        if (fromWorker)
            Send_FromWorker(message);
        else
            Send_UIMessage(message);
        Settle();
        Expect(expected);
    }

    void progress_texts_data() {
        QTest::addColumn<qint64>("elapsed");
        QTest::addColumn<qint64>("written");
        QTest::addColumn<int>("judged");
        QTest::addColumn<QString>("panel0");
        QTest::addColumn<QString>("panel3");
        QTest::newRow("25 h 3 min 4 s drops the day")
            << qint64(25 * 3600 + 3 * 60 + 4) << qint64(0) << 0 << "已用时:1小时3分4秒"
            << "已发现:2";
        QTest::newRow("999 bytes") << qint64(59) << qint64(999) << 0 << "已用时:0小时0分59秒"
                                   << "已写入:999Byte";
        QTest::newRow("1536 bytes") << qint64(3600) << qint64(1536) << 0 << "已用时:1小时0分0秒"
                                    << "已写入:1.50 KB";
        QTest::newRow("5 GiB") << qint64(0) << qint64(5368709120) << 0 << "已用时:0小时0分0秒"
                               << "已写入:5.00 GB";
        QTest::newRow("judged blocks replace the written amount")
            << qint64(61) << qint64(1536) << 12 << "已用时:0小时1分1秒"
            << "已判断块数:12";
    }
    void progress_texts() {
        QFETCH(qint64, elapsed);
        QFETCH(qint64, written);
        QFETCH(int, judged);
        QFETCH(QString, panel0);
        QFETCH(QString, panel3);
        Send_UIMessage(Msg(1, {"4", "总块数:"}));
        Send_UIMessage(Msg(2, {"", "已扫描块数:3", "已发现:2"}));
        form_->Running_Op()->Set_StartTime(std::chrono::system_clock::now() - std::chrono::seconds(elapsed));
        form_->Running_Op()->WrittenBytes = written;
        form_->Running_Op()->JudgedBlocks = judged;
        form_->Running_Op()->Progress1 = 3;
        form_->Form2()->tmr1Timer();
        Expect("p0=" + panel0 + ";p3=" + panel3 + ";p2=已扫描块数:3;g1.value=3;g1.text=75%");
    }

    void progress_timer_ticks() {
        Send_UIMessage(Msg(1, {"10", "总块数:"}));
        form_->Running_Op()->Progress1 = 4;
        QTRY_COMPARE_WITH_TIMEOUT(Probe("g1.value"), QString("4"), 3000);
        // The elapsed time follows at the one-second tick.
        QTRY_VERIFY_WITH_TIMEOUT(Probe("p0").startsWith("已用时:"), 3000);
        Send_UIMessage(Msg(3));
        form_->Running_Op()->Progress1 = 7;
        QTest::qWait(1300);
        QCOMPARE(Probe("g1.value"), QString("4")); // the timer stopped with the operation
    }

    void stop_question_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<bool>("answerOk");
        for (const char* b : {"btn1", "btnstop", "btnStopSave"}) {
            QTest::addRow("%s OK", b) << b << true;
            QTest::addRow("%s Cancel", b) << b << false;
        }
    }
    void stop_question() {
        QFETCH(QString, button);
        QFETCH(bool, answerOk);
        boxes_->Answer = answerOk ? TBoxAnswer::Ok : TBoxAnswer::Cancel;
        if (button == "btn1")
            Send_UIMessage(Msg(1, {"5", "总块数:"})); // the dialog's own button, while it runs
        auto* b = W<QAbstractButton>(button.toLatin1());
        QVERIFY(b->isEnabled());
        QTest::mouseClick(b, Qt::LeftButton);
        QCOMPARE(boxes_->Boxes.size(), size_t(1));
        const TBoxRequest& r = boxes_->Boxes[0];
        QCOMPARE(r.Text, QString("此操作将导致扫描、镜像、保存结果不完整,您确定要停止吗?"));
        QCOMPARE(r.Caption, QString("注意"));
        QVERIFY(r.Icon == TBoxIcon::Warning && r.Buttons == TBoxButtons::OkCancel);
        QVERIFY(r.Owner == nullptr);
        QCOMPARE(r.LanguageId, uint16_t(2052));
        QCOMPARE(form_->Running_Op()->StopFlag.load(), answerOk);
        QCOMPARE(Probe("dialog"), QString(button == "btn1" ? "1" : "0")); // a stop request does not close it
    }

    // A worker that fails never leaves the window disabled; work beside the
    // operations reports its failure without touching the window's state.
    void failing_workers_data() {
        QTest::addColumn<bool>("operation");
        QTest::addColumn<int>("failure");
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("expected");
        QTest::newRow("operation throws std::exception") << true << 0 << "错误内容:磁盘读取失败"
                                                         << "enabled=1;dialog=0";
        QTest::newRow("operation throws something else") << true << 1 << "错误内容:未知错误"
                                                         << "enabled=1;dialog=0";
        QTest::newRow("background work throws") << false << 0 << "错误内容:磁盘读取失败"
                                                << "enabled=0;dialog=1";
    }
    void failing_workers() {
        QFETCH(bool, operation);
        QFETCH(int, failure);
        QFETCH(QString, description);
        QFETCH(QString, expected);
        // Background work runs beside an operation that keeps the window disabled.
        if (!operation) Send_UIMessage(Msg(1, {"5", "总块数:"}));
        const bool started = form_->Start_Worker(
            "Test0000",
            [operation, failure] {
                if (operation) Send_UIMessage(Msg(1, {"5", "总块数:"}));
                if (failure == 0) throw std::runtime_error("磁盘读取失败");
                throw 42;
            },
            operation ? TWorkerKind::Operation : TWorkerKind::Background);
        QVERIFY(started);
        QTRY_VERIFY_WITH_TIMEOUT(form_->Workers_Idle(), 5000);
        QCOMPARE(Probe("log.last").section('|', 0, 0), QString("错误类型:Test0000"));
        QCOMPARE(Probe("log.last").section('|', 2), description);
        QCOMPARE(Probe("log.icon"), QString("4"));
        Expect(expected);
    }

    void one_operation_at_a_time() {
        std::atomic<bool> release{false};
        QVERIFY(form_->Start_Worker("A", [&] {
            while (!release)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }));
        QVERIFY(!form_->Start_Worker("B", [] {}));
        QVERIFY(form_->Start_Worker(
            "C", [] {}, TWorkerKind::Background));
        // An operation asked for by the running one waits for it to end and
        // keeps the window's operations busy meanwhile; only one may wait.
        std::atomic<bool> followed{false}, startedEarly{false};
        QVERIFY(form_->Start_NextWorker("E", [&] {
            startedEarly = !release;
            followed = true;
        }));
        QVERIFY(!form_->Start_NextWorker("F", [] {}));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        QVERIFY(!followed);
        release = true;
        QTRY_VERIFY_WITH_TIMEOUT(form_->Workers_Idle(), 5000);
        QVERIFY(followed);
        QVERIFY(!startedEarly);
        QVERIFY(form_->Start_Worker("D", [] {}));
        QTRY_VERIFY_WITH_TIMEOUT(form_->Workers_Idle(), 5000);
    }

    // In English no kind holds "错误": the log's icon follows the severity the
    // reporting code set. Each line comes from a worker, as in use.
    void english_log_icons_data() {
        QTest::addColumn<int>("sender");
        QTest::addColumn<QString>("kind"); // the Chinese key of the line's kind
        QTest::addColumn<QString>("name"); // what follows the key
        QTest::addColumn<int>("icon");
        QTest::newRow("scan of a missing image") << 0 << "错误类型:Scan0000"
                                                 << "" << 4;
        QTest::newRow("an operation that fails") << 1 << "错误类型:"
                                                 << "Test0000" << 4;
        QTest::newRow("an information line") << 2 << "扫描开始"
                                             << "" << 5;
        QTest::newRow("a finding about the medium") << 3 << "错误"
                                                    << "" << 4;
    }
    void english_log_icons() {
        QFETCH(int, sender);
        QFETCH(QString, kind);
        QFETCH(QString, name);
        QFETCH(int, icon);
        region_.reset();
        form_.reset();
        folder_ = std::make_unique<TProgramFolder>("1\r\n");
        form_ = std::make_unique<TForm1>(folder_->Path());
        form_->Set_EnumRoots(No_Disks());
        form_->show();
        QCOMPARE(Get_Language(), 1);
        if (sender == 0) {
            TScanParams p;
            p.Node.Level = 1;
            p.Node.Hddtype = HDD_IMAGE;
            p.Node.HddNumber = "Image File";
            p.Node.HddModel = "/nonexistent-qrv/missing.img";
            p.Node.HddFs = "RAW";
            p.Node.PerSecBytes = 512;
            p.EndSec = 2048;
            QVERIFY(Start_Scan(*form_, p));
        } else {
            QVERIFY(form_->Start_Worker("Test0000", [sender] {
                if (sender == 1) throw std::runtime_error("disk read failed");
                if (sender == 2) Send_Log(Tr("扫描开始"), "x");
                if (sender == 3) Send_UIMessage(Log_Event(TSeverity::Warning, Tr("错误"), Now_Text(), "x"));
            }));
        }
        QTRY_VERIFY_WITH_TIMEOUT(form_->Workers_Idle(), 10000);
        const QString shown = QString::fromStdString(Tr(kind.toStdString())) + name;
        QVERIFY2(!shown.contains(QString::fromUtf8("错误")), qPrintable(shown));
        auto* log = W<QTreeWidget>("lvlog");
        int found = 0;
        for (int i = 0; i < log->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* it = log->topLevelItem(i);
            if (it->text(0) != shown) continue;
            ++found;
            QCOMPARE(Image_Of(it->icon(0)), icon);
        }
        QCOMPARE(found, 1);
    }

    // During a scan of a few seconds the dialog's first gauge moves at least
    // four times a second: it is polled, not moved by the worker's events.
    void progress_polled_during_scan() {
        QTemporaryDir dir;
        const std::string image = dir.path().toStdString() + "/zeros.img";
        constexpr int64_t kSize = int64_t(8) << 30; // sparse: no disk space used
        const int fd = ::open(image.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        QVERIFY(fd >= 0);
        QVERIFY(::ftruncate(fd, kSize) == 0);
        ::close(fd);
        TScanParams p;
        p.Node.Level = 1;
        p.Node.Hddtype = HDD_IMAGE;
        p.Node.HddNumber = "Image File";
        p.Node.HddModel = image;
        p.Node.HddFs = "RAW";
        p.Node.PerSecBytes = 512;
        p.Node.TotalSpace = kSize;
        p.EndSec = kSize / 512;
        auto* g1 = W<QProgressBar>("g1");
        int moves = 0;
        const auto counting = connect(g1, &QProgressBar::valueChanged, this, [&] { ++moves; });
        const auto stopCounting = qScopeGuard([&] { disconnect(counting); });
        QElapsedTimer shown;
        qint64 shownMs = 0;
        QVERIFY(Start_Scan(*form_, p));
        // The block loop's part: from the dialog showing to its first
        // progress end (the analysis after it moves the gauge only briefly).
        QTRY_VERIFY_WITH_TIMEOUT(form_->Form2()->isVisible(), 10000);
        shown.start();
        const int before = moves;
        QTRY_VERIFY_WITH_TIMEOUT(
            form_->Running_Op()->Record.Active.load() == false || !form_->Form2()->isVisible(), 300000);
        shownMs = shown.elapsed();
        const int during = moves - before;
        QTRY_VERIFY_WITH_TIMEOUT(form_->Workers_Idle() && !form_->Form2()->isVisible(), 300000);
        // Too quick a scan proves nothing either way.
        if (shownMs < 1500) QSKIP("the scan took less than 1.5 s");
        QVERIFY2(during * 1000 >= 4 * shownMs,
                 qPrintable(QString("%1 moves in %2 ms").arg(during).arg(shownMs)));
    }
};

QTEST_MAIN(TChannelTest)
#include "channel_test.moc"
