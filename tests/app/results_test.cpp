// The results page as a user drives it: the list filled by a scan and by a
// load (damaged files included), the selection totals and check commands,
// column sorting, the search dialog, export with its refusals, progress and
// stop, and the preview: a row's sample played in the panel, paused, muted,
// stopped, sought with the seek bar, and a damaged sample played to its end;
// the space key's check marks and the rows' thumbnails.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QStyleOptionViewItem>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QtTest>

#include <ctime>
#include <filesystem>
#include <future>

#include "analysis/output.h"
#include "app/main_window.h"
#include "app/preview_panel.h"
#include "app/progress_dialog.h"
#include "app/results_table.h"
#include "app/scan_start.h"
#include "app/search_dialog.h"
#include "app/settings_dialog.h"
#include "app/thumbnails.h"
#include "app_test_support.h"
#include "common/op_state.h"
#include "export/preview_sample.h"
#include "scan/records.h"
#include "support/disk_image.h"
#include "support/generic_recording.h"
#include "support/recording_writer.h"
#include "support/test_env.h"

using namespace qrv;
using namespace qrv::app;
using namespace qrv::apptest;
namespace fs = std::filesystem;

namespace {

// A movie header's creation time that the list shows, under UTC, as
// 2019-05-12 10:33:21 (the recorders count from their own epoch).
constexpr uint32_t kMay12 = 1557657201u + 2082844800u + 8 * 3600;

const char* kRecovery = "QRV_凯墨视频恢复文件夹";

QTreeView* List(TForm1& form) {
    return W<QTreeView>(&form, "lvScanResult");
}

QString Cell(TForm1& form, int row, int column) {
    return List(form)->model()->index(row, column).data().toString();
}

int Row_Count(TForm1& form) {
    return List(form)->model()->rowCount();
}

// One column of every row, top to bottom.
QStringList Column(TForm1& form, int column) {
    QStringList out;
    for (int r = 0; r < Row_Count(form); ++r)
        out << Cell(form, r, column);
    return out;
}

// The check marks as the list shows them, "1" checked.
QString Checks(TForm1& form) {
    QString out;
    for (int r = 0; r < Row_Count(form); ++r)
        out += List(form)->model()->index(r, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked ? '1' : '0';
    return out;
}

int Row_Of(TForm1& form, const QString& model) {
    return int(Column(form, 2).indexOf(model));
}

// A click on a row's text, and one on its check box, as the mouse makes them.
void Click_Row(TForm1& form, int row) {
    QTreeView* v = List(form);
    v->scrollTo(v->model()->index(row, 3)); // as a person scrolls to it first
    const QRect r = v->visualRect(v->model()->index(row, 3));
    QTest::mouseClick(v->viewport(), Qt::LeftButton, {}, r.center());
    QCoreApplication::processEvents();
}

void Click_Check(TForm1& form, int row) {
    QTreeView* v = List(form);
    const QModelIndex i = v->model()->index(row, 0);
    v->scrollTo(i);
    QStyleOptionViewItem opt;
    opt.initFrom(v->viewport());
    opt.rect = v->visualRect(i);
    opt.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDecoration |
                   QStyleOptionViewItem::HasDisplay;
    opt.decorationSize = v->iconSize();
    opt.text = i.data().toString();
    opt.index = i;
    opt.widget = v;
    const QRect box = v->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opt, v);
    QTest::mouseClick(v->viewport(), Qt::LeftButton, {}, box.center());
    QCoreApplication::processEvents();
}

QString Totals(TForm1& form) {
    return W<QLabel>(&form, "pnl25")->text();
}

bool Logged(TForm1& form, const std::string& kind, const std::string& text) {
    for (const auto& r : form.Log_Rows())
        if (r[0].find(kind) != std::string::npos && r[2].find(text) != std::string::npos) return true;
    return false;
}

QStringList Texts(const std::vector<TBoxRequest>& boxes) {
    QStringList out;
    for (const auto& b : boxes)
        out << b.Text;
    return out;
}

// A listed result: a movie header entry and one data entry.
TRebuildResult Listed(const std::string& date, const std::string& model, int64_t real, int64_t mdat = 1000) {
    TRebuildResult r;
    TFragmenArr head, data;
    head.FragmenType = 1;
    data.FragmenType = 2;
    r.FragmenArray = {head, data};
    r.Fragmenum = 2;
    r.CreateTime = date;
    r.CarmerModel = model;
    r.Durting = "10";
    r.Leavelx = 0;
    r.MdatLenx = mdat;
    r.TrueFileLen = real;
    return r;
}

// Receives the folders the window asks the desktop to open.
class TFolderCatcher : public QObject {
    Q_OBJECT
  public:
    TFolderCatcher() { QDesktopServices::setUrlHandler("file", this, "Open"); }
    ~TFolderCatcher() override { QDesktopServices::unsetUrlHandler("file"); }
    QStringList Opened;
  public slots:
    void Open(const QUrl& url) { Opened << url.toLocalFile(); }
};

// Counts the times a window is shown.
class TShowCounter : public QObject {
  public:
    explicit TShowCounter(QWidget* w) { w->installEventFilter(this); }
    int Shown = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Show) ++Shown;
        return false;
    }
};

// Position text "hh:mm:ss.mmm" in milliseconds.
int64_t Position_Ms(const QString& text) {
    const QStringList p = text.split(QRegularExpression("[:.]"));
    if (p.size() != 4) return -1;
    return ((p[0].toLongLong() * 60 + p[1].toLongLong()) * 60 + p[2].toLongLong()) * 1000 + p[3].toLongLong();
}

} // namespace

class TResultsTest : public QObject {
    Q_OBJECT

    test::TTempDir files_{"qrv-results-page"};
    TProgramFolder folder_;
    TProgramFolder english_{"1\r\n"};
    std::string image_; // three deleted recordings, the third damaged
    std::vector<uint8_t> recA_, recB_;
    std::string saved_; // the scan-result file of the last scan

    std::unique_ptr<TForm1> Window(bool english = false) {
        auto form = std::make_unique<TForm1>((english ? english_ : folder_).Path());
        form->Set_EnumRoots(No_Disks());
        form->show();
        return form;
    }

    // Opens the image and focuses it.
    static void Open(TForm1& form, const std::string& path) {
        auto previous = Set_OpenFileHook(
            [path](QWidget*, const QString&, const QString&) { return QString::fromStdString(path); });
        W<QToolButton>(&form, "btnOpenImg")->click();
        Set_OpenFileHook(previous);
        auto* tree = W<QTreeWidget>(&form, "vrtlstrngtr1");
        QTreeWidgetItem* root = tree->topLevelItem(0);
        tree->setCurrentItem(root->child(root->childCount() - 1));
        form.vrtlstrngtr1NodeClick();
    }

    // A window that scanned the image from the scan dialog, its results saved.
    std::unique_ptr<TForm1> Scanned() {
        auto form = Window();
        Open(*form, image_);
        Set_FolderHook([this](QWidget*, const QString&) { return QString::fromStdString(files_.Path()); });
        TBoxRecorder boxes;
        W<QToolButton>(form.get(), "btnscan")->click();
        TForm3* dialog = form->Form3();
        // The offer to save the results, answered OK.
        if (!QTest::qWaitFor([&] { return !boxes.Boxes.empty(); }, 5000))
            qFatal("no offer to save the results");
        W<QRadioButton>(dialog, "rb1")->setChecked(true);
        saved_ = W<QLineEdit>(dialog, "edtScanResultSavepath")->text().toStdString();
        W<QPushButton>(dialog, "btnStartScan")->click();
        if (!QTest::qWaitFor([&] { return form->Workers_Idle(); }, 120000)) qFatal("the scan did not end");
        Set_FolderHook({});
        return form;
    }

    // A window listing made-up results (no source behind them).
    std::unique_ptr<TForm1> Listing(const std::vector<TRebuildResult>& results, bool english = false) {
        auto form = Window(english);
        TScanSession& session = *form->Shown_Session();
        for (const auto& r : results)
            session.Rebuilds.Append(r);
        W<QToolButton>(form.get(), "btnView")->click();
        if (!QTest::qWaitFor([&] { return form->Workers_Idle() && !form->Form2()->isVisible(); }, 10000))
            qFatal("the listing did not end");
        return form;
    }

  private slots:
    void initTestCase() {
        // Samples go into a folder of the test's own; sound to SDL's silent driver.
        qputenv("TMPDIR", QByteArray::fromStdString(files_.Path()));
        qputenv("SDL_AUDIODRIVER", "dummy");
        // Shooting dates as UTC shows them, whatever the machine's zone.
        qputenv("TZ", "UTC");
        ::tzset();
        test::TRecordingPlan a;
        a.Seed = 61, a.Seconds = 2, a.Model = "DSJ-A1", a.CreationTime = kMay12;
        test::TRecordingPlan b = a;
        b.Seed = 62, b.Model = "XDV-8", b.CreationTime = kMay12 + 86400;
        test::TRecordingPlan c = a;
        c.Seed = 63, c.Seconds = 3, c.Model = "DSJ-C3", c.CreationTime = kMay12 + 2 * 86400;
        recA_ = test::Make_Recording(a).Bytes;
        recB_ = test::Make_Recording(b).Bytes;
        const test::TRecording recC = test::Make_Recording(c);
        // The third recording lost a stretch of its media: zeros in place of
        // pictures and sound, as on a medium where those sectors were wiped.
        std::vector<uint8_t> damaged = recC.Bytes;
        for (size_t i = 20; i < 40; ++i) {
            const auto& v = recC.Video.at(i);
            std::fill_n(damaged.begin() + v.Offset, v.Size, 0);
            for (const auto& s : v.Sound)
                std::fill_n(damaged.begin() + s.Offset, s.Size, 0);
        }
        image_ = files_.File("card.img");
        test::Write_File(image_, std::vector<uint8_t>(12 << 20, 0));
        test::Write_At(image_, 1 << 20, recA_);
        test::Write_At(image_, 4 << 20, recB_);
        test::Write_At(image_, 8 << 20, damaged);
    }

    void cleanup() {
        Set_FolderHook({});
        Set_OpenFileHook({});
    }

    // A scan fills the list: one row per recording with its level mark,
    // model, date, duration and sizes; checked rows are exported into the
    // recovery folder under the names the export gives them, equal to the
    // recordings, with the progress dialog up meanwhile, and are unchecked
    // afterwards.
    void scan_fills_the_list_and_export_writes_checked_rows() {
        auto form = Scanned();
        QCOMPARE(W<QTabWidget>(form.get(), "pgc1")->currentIndex(), 1);
        QCOMPARE(Column(*form, 2), QStringList({"DSJ-A1", "XDV-8", "DSJ-C3"}));
        QCOMPARE(Column(*form, 0), QStringList({"1", "2", "3"}));
        QCOMPARE(Cell(*form, 0, 3), QString("2019-05-12 10:33:21"));
        QCOMPARE(Cell(*form, 0, 4), QString("2秒"));
        for (int r = 0; r < 3; ++r) {
            const QIcon icon =
                qvariant_cast<QIcon>(List(*form)->model()->index(r, 0).data(Qt::DecorationRole));
            QCOMPARE(Image_Of(icon), 9 + Cell(*form, r, 1).toInt());
            QVERIFY(Cell(*form, r, 5).endsWith(" KB"));
        }
        QCOMPARE(Cell(*form, 0, 1), QString("0"));
        QCOMPARE(Checks(*form), QString("000"));

        Click_Check(*form, 0);
        Click_Check(*form, 1);
        QCOMPARE(Checks(*form), QString("110"));
        QVERIFY2(Totals(*form).startsWith("选中数量:2 选中容量:"), qPrintable(Totals(*form)));

        test::TTempDir target("qrv-export");
        Set_FolderHook([&](QWidget*, const QString&) { return QString::fromStdString(target.Path()); });
        TShowCounter progress(form->Form2());
        auto* openFolder = W<QToolButton>(form.get(), "btnOpenFolder");
        QVERIFY(!openFolder->isVisible());
        // The export unchecks rows on its worker; the list learns of it on
        // the window thread only.
        int repaints = 0, elsewhere = 0;
        connect(
            List(*form)->model(), &QAbstractItemModel::dataChanged, form.get(),
            [&](const QModelIndex&, const QModelIndex&, const QList<int>& roles) {
                if (!roles.contains(Qt::CheckStateRole)) return;
                ++repaints;
                elsewhere += QThread::currentThread() != qApp->thread();
            },
            Qt::DirectConnection);
        W<QToolButton>(form.get(), "btnsave")->click();
        QTRY_VERIFY_WITH_TIMEOUT(form->Workers_Idle() && !form->Form2()->isVisible(), 30000);
        QCOMPARE(progress.Shown, 1);
        QTRY_VERIFY(repaints > 0);
        QCOMPARE(elsewhere, 0);
        QVERIFY(W<QWidget>(form->Form2(), "pnl3")->isVisibleTo(form->Form2()));
        const std::string sub = target.File(kRecovery) + "/QRV_File_0/";
        QVERIFY(test::Read_File(sub + "FILE-20190512103321-1-DSJA1.mp4") == recA_);
        QVERIFY(test::Read_File(sub + "FILE-20190513103321-2-XDV8.mp4") == recB_);
        QCOMPARE(int(std::distance(fs::directory_iterator(sub), fs::directory_iterator())), 2);
        QCOMPARE(Checks(*form), QString("000"));
        QVERIFY(Logged(*form, "保存完成", "保存结果完毕!"));
        // Once done, a button opens the folder that holds the recordings.
        QTRY_VERIFY(openFolder->isVisible());
        {
            TFolderCatcher opened;
            QTest::mouseClick(openFolder, Qt::LeftButton);
            QCOMPARE(opened.Opened, QStringList{QString::fromStdString(target.File(kRecovery))});
        }
        // The level column tells what the decode check of each written file
        // found, as a person hovering over it reads it; the row not exported has none.
        auto levelTip = [&](int r) { return List(*form)->model()->index(r, 1).data(Qt::ToolTipRole).toString(); };
        QTRY_VERIFY(levelTip(0).startsWith("解码检查:无错误"));
        QVERIFY(levelTip(1).startsWith("解码检查:无错误"));
        QVERIFY(!levelTip(2).contains("解码检查"));
        QVERIFY(List(*form)->model()->index(0, 1).data(Qt::DecorationRole).isNull());
        QVERIFY(W<QWidget>(form.get(), "pnl1")->isEnabled());

        // The export's carve report lies next to the files; the results menu writes it again.
        const std::string report = target.File(kRecovery) + "/report.xml";
        const auto first = test::Read_File(report);
        QVERIFY(!first.empty());
        QCOMPARE(test::Run_Command("cd '" + target.File(kRecovery) + "' && sha256sum --quiet -c SHA256SUMS"), 0);
        fs::remove(report);
        TBoxRecorder boxes;
        auto* again = form->findChild<QAction*>("NReport");
        QVERIFY(again);
        QCOMPARE(again->text(), QString("导出报告"));
        again->trigger();
        QVERIFY(test::Read_File(report) == first);
        QCOMPARE(int(boxes.Boxes.size()), 1);
        QVERIFY(boxes.Boxes[0].Text.startsWith("报告已写入:"));
        // Once another scan's results replace the list, the old export's
        // report is not written again next to them.
        fs::remove(report);
        form->Clear_Results(); // what a new scan does first
        again->trigger();
        QCOMPARE(int(boxes.Boxes.size()), 2);
        QCOMPARE(boxes.Boxes[1].Text,
                 QString("上次导出的报告属于另一次扫描的结果,不能为当前结果写入!请先导出当前结果。"));
        QVERIFY(!fs::exists(report));
    }

    // Stop pressed while the second checked row is about to be written: that
    // file stays short and its row unchecked, the rows after it stay checked.
    void stop_in_the_middle_of_an_export() {
        auto form = Scanned();
        W<QToolButton>(form.get(), "btnSelAll")->click();
        test::TTempDir target("qrv-export-stop");
        Set_FolderHook([&](QWidget*, const QString&) { return QString::fromStdString(target.Path()); });
        TBoxRecorder boxes; // the stop question, answered OK
        connect(List(*form)->selectionModel(), &QItemSelectionModel::currentChanged, form.get(),
                [&](const QModelIndex& current) {
                    if (current.row() == 1) W<QPushButton>(form->Form2(), "btn1")->click();
                });
        W<QToolButton>(form.get(), "btnsave")->click();
        QTRY_VERIFY_WITH_TIMEOUT(form->Workers_Idle() && !form->Form2()->isVisible(), 30000);
        QCOMPARE(Texts(boxes.Boxes), QStringList{"此操作将导致扫描、镜像、保存结果不完整,您确定要停止吗?"});
        const std::string sub = target.File(kRecovery) + "/QRV_File_0/";
        QVERIFY(test::Read_File(sub + "FILE-20190512103321-1-DSJA1.mp4") == recA_);
        QVERIFY(test::Read_File(sub + "FILE-20190513103321-2-XDV8.mp4").size() < recB_.size());
        QVERIFY(!fs::exists(sub + "FILE-20190514103321-3-DSJC3.mp4"));
        QCOMPARE(Checks(*form), QString("001"));
        QVERIFY(Logged(*form, "保存停止", "XDV8.mp4"));
    }

    // The three refusals, and the output guard's refusal of the source
    // itself, each a box before anything is written.
    void export_refusals_data() {
        QTest::addColumn<QString>("folder"); // "target", "" or "source"
        QTest::addColumn<int>("checkRow");   // -1: none
        QTest::addColumn<QString>("box");
        QTest::newRow("no folder") << "" << 0 << "请指定保存路径!";
        QTest::newRow("nothing checked") << "target" << -1 << "请选择要保存文件!";
        QTest::newRow("not enough space") << "target" << 1 << "目标盘可用空间不够,无法保存!";
        QTest::newRow("the source itself") << "source" << 0 << "为避免覆盖,不能写入源本身!";
    }
    void export_refusals() {
        QFETCH(QString, folder);
        QFETCH(int, checkRow);
        QFETCH(QString, box);
        auto form = Listing({Listed("2019-05-12 10:00:00", "A", 10),
                             Listed("2019-05-12 11:00:00", "B", 10, int64_t(1) << 62)});
        if (checkRow >= 0) Click_Check(*form, checkRow);
        test::TTempDir target("qrv-refused");
        form->Shown_Session()->Set_SourcePath(image_);
        Set_FolderHook([&](QWidget*, const QString&) {
            if (folder == "target") return QString::fromStdString(target.Path());
            return folder == "source" ? QString::fromStdString(image_) : QString();
        });
        const auto before = fs::last_write_time(image_);
        TBoxRecorder boxes;
        int asked = 0;
        auto previous = Set_FolderHook([&, hook = Set_FolderHook({})](QWidget* w, const QString& t) {
            ++asked;
            return hook(w, t);
        });
        W<QToolButton>(form.get(), "btnsave")->click();
        Set_FolderHook(previous);
        // With nothing checked no folder is asked for.
        QCOMPARE(asked, checkRow >= 0 ? 1 : 0);
        QCOMPARE(Texts(boxes.Boxes), QStringList{box});
        QCOMPARE(boxes.Boxes[0].Caption, QString("提示"));
        QCOMPARE(int(boxes.Boxes[0].Icon), int(TBoxIcon::Critical));
        QVERIFY(form->Workers_Idle());
        QVERIFY(fs::is_empty(target.Path()));
        QVERIFY(fs::is_regular_file(image_) && fs::last_write_time(image_) == before);
    }

    // The totals and the check commands of the tool bar and the popup menu.
    void totals_and_check_commands() {
        auto form = Listing({Listed("2019-05-12 10:00:00", "A", int64_t(1) << 30),
                             Listed("2019-05-12 11:00:00", "B", int64_t(512) << 20),
                             Listed("2019-05-12 12:00:00", "C", 7)});
        QCOMPARE(Totals(*form), QString());
        Click_Check(*form, 0);
        Click_Check(*form, 1);
        QCOMPARE(Checks(*form), QString("110"));
        QCOMPARE(Totals(*form), QString("选中数量:2 选中容量:1.50 GB"));
        const struct {
            const char* command; // a tool button, or a menu item of pm2
            const char* checks;
            const char* totals;
        } steps[] = {
            {"btnSelFan", "001", "选中数量:1 选中容量:7Byte"},
            {"btnSelAll", "111", "选中数量:3 选中容量:1.50 GB"},
            {"btnSelCancel", "000", ""},
            {"N11", "111", "选中数量:3 选中容量:1.50 GB"},
            {"N12", "000", ""},
            {"N10", "111", "选中数量:3 选中容量:1.50 GB"},
        };
        for (const auto& s : steps) {
            if (auto* b = form->findChild<QToolButton*>(s.command))
                b->click();
            else
                W<QAction>(form.get(), s.command)->trigger();
            QCOMPARE(QString(s.command) + ":" + Checks(*form), QString(s.command) + ":" + s.checks);
            QCOMPARE(Totals(*form), QString::fromUtf8(s.totals));
        }
        // A check-box click neither changed the selection nor started a preview.
        QVERIFY(List(*form)->selectionModel()->selectedRows().isEmpty());
        QVERIFY(form->Workers_Idle());
        // With no rows, inverting changes nothing.
        auto empty = Listing({});
        W<QToolButton>(empty.get(), "btnSelFan")->click();
        QCOMPARE(Row_Count(*empty), 0);
        QCOMPARE(Totals(*empty), QString());
        QVERIFY(Logged(*empty, "显示结果失败", "重组结果为0无法显示!"));
    }

    // A result holding only a file head and movie box (no media data found) is
    // listed with a check box that cannot be set, by a click or a command.
    void result_without_media_cannot_be_checked() {
        TRebuildResult headOnly = Listed("2019-05-12 11:00:00", "HEVC", 512);
        headOnly.FragmenArray[1].FragmenType = ENTRY_FILE_HEAD;
        auto form = Listing({Listed("2019-05-12 10:00:00", "A", 7), headOnly});
        QCOMPARE(Row_Count(*form), 2);
        QVERIFY(!(List(*form)->model()->index(1, 0).flags() & Qt::ItemIsUserCheckable));
        Click_Check(*form, 1);
        QCOMPARE(Checks(*form), QString("00"));
        W<QToolButton>(form.get(), "btnSelAll")->click();
        QCOMPARE(Checks(*form), QString("10"));
        W<QToolButton>(form.get(), "btnSelFan")->click();
        QCOMPARE(Checks(*form), QString("00"));
        QVERIFY(Logged(*form, "显示扫描结果", "没有发现媒体数据,不可导出;编号:2"));
    }

    // Clicking a column sorts descending first, then ascending; the direction
    // is shared by every column. The hidden result index travels with its row.
    void column_sort_alternates() {
        auto form = Listing(
            {Listed("2019-05-12 10:00:00", "bravo", 1), Listed("2019-05-13 10:00:00", "Alpha", 2),
             Listed("2019-05-11 10:00:00", "charlie", 3), Listed("2019-05-10 10:00:00", "ALPHA2", 4)});
        QHeaderView* header = List(*form)->header();
        const struct {
            int column;
            QStringList models;
        } clicks[] = {
            {2, {"charlie", "bravo", "ALPHA2", "Alpha"}},
            {2, {"Alpha", "ALPHA2", "bravo", "charlie"}},
            {3, {"Alpha", "bravo", "charlie", "ALPHA2"}}, // dates, descending
            {0, {"bravo", "Alpha", "charlie", "ALPHA2"}}, // captions, ascending
        };
        // The row selected before sorting stays selected; the header shows
        // the column and the direction of the last sort.
        Click_Row(*form, Row_Of(*form, "bravo"));
        for (const auto& c : clicks) {
            Click_Header(header, c.column);
            QCOMPARE(Column(*form, 2), c.models);
            QCOMPARE(header->sortIndicatorSection(), c.column);
            const QModelIndexList selected = List(*form)->selectionModel()->selectedRows();
            QCOMPARE(selected.size(), qsizetype(1));
            QCOMPARE(Cell(*form, selected[0].row(), 2), QString("bravo"));
        }
        QVERIFY(header->isSortIndicatorShown());
        QCOMPARE(header->sortIndicatorOrder(), Qt::AscendingOrder);
        QCOMPARE(Column(*form, 7), QStringList({"0", "1", "2", "3"}));
        QCOMPARE(Column(*form, 0), QStringList({"1", "2", "3", "4"}));
    }

    // The row a click selects stays readable: its text is drawn, on a
    // background that tells it from the other rows, in either language; the
    // first column holds two-digit row numbers whole.
    void selected_row_is_visible_data() {
        QTest::addColumn<bool>("english");
        QTest::newRow("Chinese") << false;
        QTest::newRow("English") << true;
    }
    void selected_row_is_visible() {
        QFETCH(bool, english);
        std::vector<TRebuildResult> rows;
        for (int i = 0; i < 12; ++i)
            rows.push_back(Listed("2019-05-12 10:00:00", "MODEL-" + std::to_string(i), 1000));
        auto form = Listing(rows, english);
        QTreeView* v = List(*form);
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        // The width the delegate asks for row 12's check box, mark and number.
        QStyleOptionViewItem opt;
        opt.initFrom(v->viewport());
        opt.decorationSize = v->iconSize();
        opt.widget = v;
        const int needed = v->itemDelegate()->sizeHint(opt, v->model()->index(11, 0)).width();
        QVERIFY2(v->columnWidth(0) >= needed,
                 qPrintable(QString("%1 < %2").arg(v->columnWidth(0)).arg(needed)));
        Click_Row(*form, 10);
        QCOMPARE(v->selectionModel()->selectedRows().value(0).row(), 10);
        const QImage shot = v->viewport()->grab().toImage();
        // The commonest colour of a cell, and how many of its pixels differ from it clearly.
        auto look = [&](int row, int column) {
            const QRect r = v->visualRect(v->model()->index(row, column)).intersected(shot.rect());
            QHash<QRgb, int> counts;
            for (int y = r.top(); y <= r.bottom(); ++y)
                for (int x = r.left(); x <= r.right(); ++x)
                    ++counts[shot.pixel(x, y)];
            QRgb background = 0;
            for (auto it = counts.cbegin(); it != counts.cend(); ++it)
                if (it.value() > counts.value(background)) background = it.key();
            int ink = 0;
            for (int y = r.top(); y <= r.bottom(); ++y)
                for (int x = r.left(); x <= r.right(); ++x) {
                    const QRgb p = shot.pixel(x, y);
                    if (std::abs(qGray(p) - qGray(background)) > 60) ++ink;
                }
            return std::pair{background, ink};
        };
        for (int column : {0, 2, 3}) {
            const auto [selected, ink] = look(10, column);
            const auto [plain, plainInk] = look(9, column);
            QVERIFY2(ink >= 15, qPrintable(QString("column %1: %2 text pixels").arg(column).arg(ink)));
            QVERIFY2(plainInk >= 15,
                     qPrintable(QString("column %1, unselected: %2").arg(column).arg(plainInk)));
            QVERIFY2(selected != plain, qPrintable(QString("column %1: no highlight").arg(column)));
        }
    }

    // The space key checks or unchecks the current row, and every selected
    // row with it, to the opposite of the current row's mark; the totals
    // follow; a row that cannot be exported stays unchecked.
    void space_key_checks_rows() {
        TRebuildResult headOnly = Listed("2019-05-12 14:00:00", "E", 512);
        headOnly.FragmenArray[1].FragmenType = ENTRY_FILE_HEAD;
        auto form = Listing(
            {Listed("2019-05-12 10:00:00", "A", 1000), Listed("2019-05-12 11:00:00", "B", 2000),
             Listed("2019-05-12 12:00:00", "C", 3000), Listed("2019-05-12 13:00:00", "D", 4000), headOnly});
        QTreeView* v = List(*form);
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        auto shiftClick = [&](int row) {
            const QRect r = v->visualRect(v->model()->index(row, 3));
            QTest::mouseClick(v->viewport(), Qt::LeftButton, Qt::ShiftModifier, r.center());
        };
        const struct {
            const char* action; // "click N", "shift N" (select up to N), "space"
            const char* checks;
            const char* totals;
        } steps[] = {
            {"click 1", "00000", ""},
            {"space", "01000", "选中数量:1 选中容量:1.95 KB"},
            {"shift 3", "01000", "选中数量:1 选中容量:1.95 KB"},
            {"space", "01110", "选中数量:3 选中容量:8.79 KB"}, // row 3 was unchecked: all checked
            {"click 2", "01110", "选中数量:3 选中容量:8.79 KB"},
            {"space", "01010", "选中数量:2 选中容量:5.86 KB"},
            {"shift 4", "01010", "选中数量:2 选中容量:5.86 KB"}, // rows 2 to 4
            {"space", "01110", "选中数量:3 选中容量:8.79 KB"},   // row 4 cannot be checked
            {"click 0", "01110", "选中数量:3 选中容量:8.79 KB"},
            {"space", "11110", "选中数量:4 选中容量:9.77 KB"},
        };
        for (const auto& step : steps) {
            const QString a = step.action;
            if (a.startsWith("click"))
                Click_Row(*form, a.section(' ', 1).toInt());
            else if (a.startsWith("shift"))
                shiftClick(a.section(' ', 1).toInt());
            else
                QTest::keyClick(v, Qt::Key_Space);
            QCoreApplication::processEvents();
            QCOMPARE(a + ":" + Checks(*form), a + ":" + step.checks);
            QCOMPARE(Totals(*form), QString::fromUtf8(step.totals));
        }
    }

    // Durations and lengths sort by their numbers: 9 seconds before 10, 900
    // KB before 1.20 MB; the list offers the number under its sort role.
    void duration_and_lengths_sort_as_numbers() {
        std::vector<TRebuildResult> rows;
        const struct {
            const char* seconds;
            int64_t bytes;
        } made[] = {{"9", 1258291}, {"10", 921600}, {"100", int64_t(2) << 30}, {"2", 7}};
        for (const auto& m : made) {
            rows.push_back(Listed("2019-05-12 10:00:00", "M", m.bytes, m.bytes));
            rows.back().Durting = m.seconds;
        }
        auto form = Listing(rows);
        QHeaderView* header = List(*form)->header();
        const struct {
            int column;
            QStringList shown;
        } clicks[] = {
            {4, {"100秒", "10秒", "9秒", "2秒"}},
            {4, {"2秒", "9秒", "10秒", "100秒"}},
            {5, {"2.00 GB", "1.20 MB", "900.00 KB", "7Byte"}},
            {6, {"7Byte", "900.00 KB", "1.20 MB", "2.00 GB"}},
        };
        for (const auto& c : clicks) {
            Click_Header(header, c.column);
            QCOMPARE(Column(*form, c.column), c.shown);
        }
        QCOMPARE(List(*form)->model()->index(3, 6).data(TResultsTable::kSortRole).toDouble(),
                 double(int64_t(2) << 30));
        QCOMPARE(List(*form)->model()->index(0, 4).data(TResultsTable::kSortRole).toDouble(), 2.0);
        QVERIFY(!List(*form)->model()->index(0, 2).data(TResultsTable::kSortRole).isValid());
    }

    // Each row shows a thumbnail of its recording's first key frame beside
    // the camera model, made in the background: a placeholder first, the
    // picture once it is decoded; a result without a picture keeps the
    // placeholder; clearing the list drops them all.
    void thumbnails_of_the_first_key_frame() {
        auto form = Scanned();
        auto thumb = [&](int row) {
            return List(*form)
                ->model()
                ->index(row, TResultsTable::kThumbnailColumn)
                .data(Qt::DecorationRole)
                .value<QImage>();
        };
        const QImage& placeholder = TThumbnails::Placeholder();
        QCOMPARE(placeholder.size(), QSize(TThumbnails::kWidth, TThumbnails::kHeight));
        for (const QString model : {"DSJ-A1", "XDV-8"}) {
            const int row = Row_Of(*form, model);
            QTRY_VERIFY_WITH_TIMEOUT(thumb(row) != placeholder, 30000);
            const QImage picture = thumb(row);
            // The recordings are 4:3: the picture fits the thumbnail's height.
            QCOMPARE(picture.height(), TThumbnails::kHeight);
            QVERIFY(std::abs(picture.width() * 3 - picture.height() * 4) <= 4);
            QSet<QRgb> colours;
            for (int y = 0; y < picture.height(); y += 3)
                for (int x = 0; x < picture.width(); x += 3)
                    colours.insert(picture.pixel(x, y));
            QVERIFY2(colours.size() > 4, qPrintable(model));
        }
        // The two recordings' pictures differ (each its own first frame).
        QVERIFY(thumb(Row_Of(*form, "DSJ-A1")) != thumb(Row_Of(*form, "XDV-8")));
        // The view paints them: the row is as tall as a thumbnail.
        QVERIFY(List(*form)->visualRect(List(*form)->model()->index(0, 0)).height() >= TThumbnails::kHeight);
        QTRY_COMPARE(form->Results()->Thumbnails()->Pending(), 0);
        // No scratch sample is left in the temporary folder.
        for (const auto& e : fs::directory_iterator(files_.Path()))
            QVERIFY2(e.path().filename().string().find("qrv-thumbnail") == std::string::npos,
                     e.path().c_str());
        form->Clear_Results();
        QCOMPARE(form->Results()->Thumbnails()->Picture(0), QImage());
        QCOMPARE(form->Results()->Thumbnails()->Pending(), 0);
    }

    // The search dialog checks exactly the rows that match; rows checked
    // before and not matching end up unchecked.
    void search_checks_the_matching_rows_data() {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("end"); // empty: left as it was ("2018-01-01")
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("checks");
        QTest::newRow("one day") << "2019-05-12"
                                 << "2019-05-12"
                                 << ""
                                 << "010000";
        QTest::newRow("May to June") << "2019-05-12"
                                     << "2019-06-03"
                                     << ""
                                     << "111100";
        QTest::newRow("model text") << "2018-01-01"
                                    << "2019-12-31"
                                    << "dv"
                                    << "010001";
        QTest::newRow("end before start") << "2020-01-01"
                                          << ""
                                          << ""
                                          << "000000";
    }
    void search_checks_the_matching_rows() {
        QFETCH(QString, start);
        QFETCH(QString, end);
        QFETCH(QString, model);
        QFETCH(QString, checks);
        auto form =
            Listing({Listed("2019-05-01 08:00:00", "DSJ-A1", 1), Listed("2019-05-12 08:00:00", "XDV-8", 1),
                     Listed("2019-06-03 08:00:00", "DSJ-A1", 1), Listed("2019-06-30 08:00:00", "DSJ-A1", 1),
                     Listed("2019-07-01 08:00:00", "DSJ-A1", 1), Listed("2018-05-12 08:00:00", "xdv-9", 1)});
        W<QToolButton>(form.get(), "btnSelAll")->click();
        W<QToolButton>(form.get(), "btnSerach")->click();
        TForm6* dialog = form->Form6();
        QVERIFY(dialog->isVisible());
        QCOMPARE(W<QLineEdit>(dialog, "medtStarData")->text(), QString("2018-01-01"));
        W<QLineEdit>(dialog, "medtStarData")->setText(start);
        // Typing the start leaves the end alone.
        QCOMPARE(W<QLineEdit>(dialog, "medtEndData")->text(), QString("2018-01-01"));
        if (!end.isEmpty()) W<QLineEdit>(dialog, "medtEndData")->setText(end);
        W<QLineEdit>(dialog, "edt1")->setText(model);
        W<QPushButton>(dialog, "btn1")->click();
        QVERIFY(!dialog->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(form->Workers_Idle() && !form->Form2()->isVisible(), 10000);
        QCOMPARE(Checks(*form), checks);
        // The totals name the rows the search left checked.
        const int checked = int(checks.count('1'));
        QCOMPARE(Totals(*form).section(' ', 0, 0), checked ? QString("选中数量:%1").arg(checked) : QString());
        QVERIFY(Logged(*form, "搜索完成", "搜索文件成功完成!"));
        QVERIFY(W<QWidget>(form.get(), "pnl1")->isEnabled());
    }

    // A saved scan loads for the source it was made from: the dialog's
    // filter, the same rows as the scan listed; a damaged file loads as far
    // as it is whole and names the damaged record in the log; a file without
    // records leaves an empty list; no source chosen, no dialog.
    void load_fills_the_list() {
        QStringList scanned;
        {
            auto form = Scanned();
            scanned = Column(*form, 2);
        }
        QCOMPARE(Read_Bytes(QString::fromStdString(saved_)).left(4), QByteArray("QRVL"));
        const auto bytes = test::Read_File(saved_);

        auto form = Window();
        TBoxRecorder boxes;
        QStringList filters;
        Set_OpenFileHook([&](QWidget*, const QString&, const QString& filter) {
            filters << filter;
            return QString::fromStdString(saved_);
        });
        W<QToolButton>(form.get(), "btnLoad")->click(); // nothing focused
        QCOMPARE(Texts(boxes.Boxes), QStringList{"没有选择扫描结果所属的源,请先选择源再加载扫描结果!"});
        QVERIFY(filters.isEmpty());

        Set_OpenFileHook({});
        Open(*form, image_);
        auto load = [&](const std::vector<uint8_t>& file) {
            const std::string path = files_.File("load.QRV");
            test::Write_File(path, file);
            Set_OpenFileHook([&, path](QWidget*, const QString&, const QString& filter) {
                filters << filter;
                return QString::fromStdString(path);
            });
            W<QToolButton>(form.get(), "btnLoad")->click();
            QTRY_VERIFY_WITH_TIMEOUT(form->Workers_Idle() && !form->Form2()->isVisible(), 30000);
        };
        load(bytes);
        QCOMPARE(filters, QStringList{"QRV文件|*.QRV"});
        QCOMPARE(W<QTabWidget>(form.get(), "pgc1")->currentIndex(), 1);
        QCOMPARE(Column(*form, 2), scanned);
        QVERIFY(form->Shown_Session()->SourcePath() == image_);

        // Record 2 declares a block longer than the record.
        const size_t n = size_t(bytes[16]) | size_t(bytes[17]) << 8;
        size_t second = 28 + n;
        second += 5 + (size_t(bytes[second + 1]) | size_t(bytes[second + 2]) << 8 |
                       size_t(bytes[second + 3]) << 16 | size_t(bytes[second + 4]) << 24);
        auto damaged = bytes;
        damaged[second + 6] = 0xff;
        damaged[second + 7] = 0xff;
        load(damaged);
        QCOMPARE(Column(*form, 2), scanned.mid(0, 1));
        QVERIFY(Logged(*form, "加载错误", "第2条记录"));

        // The list part ends before any record.
        load(std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(28 + n)));
        QTRY_COMPARE(Row_Count(*form), 0);
        QVERIFY(Logged(*form, "加载结果", "加载结果完成!"));
    }

    // A row click builds the row's sample and plays it in the panel: frames
    // painted with the recording's 4:3 shape, the position running; pause
    // holds it, mute reaches the player, stop and the page commands end the
    // playback and bring the idle panel back.
    void preview_plays_pauses_mutes_and_stops() {
        auto form = Scanned();
        auto* panel = W<TVideoPanel>(form.get(), "pnl38");
        auto* status = W<QLabel>(form.get(), "lblStatus");
        TPreviewPlayer* player = form->Preview();
        Click_Row(*form, Row_Of(*form, "DSJ-A1"));
        QTRY_VERIFY_WITH_TIMEOUT(player->Frames_Shown() > 3 && Position_Ms(status->text()) > 300, 30000);
        QVERIFY(player->Playing());
        const QRect frame = panel->Frame_Rect();
        QVERIFY(std::abs(frame.width() * 3 - frame.height() * 4) <= 4);
        QVERIFY(frame.width() == panel->width() || frame.height() == panel->height());
        const QImage shot = panel->grab().toImage();
        bool picture = false;
        for (int x = frame.left() + 2; x < frame.right() - 2; x += 7)
            picture |= shot.pixelColor(x, frame.center().y()) != QColor(Qt::black);
        QVERIFY(picture);

        // A larger panel asks the player for larger frames.
        const int before = panel->Frame_Size().width();
        form->resize(form->width() + 300, form->height() + 200);
        QTRY_VERIFY_WITH_TIMEOUT(panel->Frame_Size().width() > before + 50, 10000);
        QTRY_VERIFY(std::abs(panel->Frame_Size().width() - panel->Target_Size().width()) <= 2 ||
                    std::abs(panel->Frame_Size().height() - panel->Target_Size().height()) <= 2);

        W<QToolButton>(form.get(), "btnPlayPause")->click();
        QVERIFY(player->Paused());
        QTest::qWait(300);
        const QString held = status->text();
        QTest::qWait(500);
        QCOMPARE(status->text(), held);
        W<QToolButton>(form.get(), "btnPlayPause")->click();
        QTRY_VERIFY(status->text() != held);

        W<QCheckBox>(form.get(), "chkMute")->click();
        QVERIFY(player->Muted());
        W<QCheckBox>(form.get(), "chkMute")->click();
        QVERIFY(!player->Muted());

        W<QToolButton>(form.get(), "btnPlayStop")->click();
        QVERIFY(!player->Playing());
        QVERIFY(!panel->Has_Frame());
        QCOMPARE(panel->text(), QString("QRV专用播放器 版本 ") + kProgramVersion);

        // A new click plays again; the page commands stop it too.
        Click_Row(*form, 0);
        QTRY_VERIFY_WITH_TIMEOUT(player->Frames_Shown() > 0, 30000);
        W<QToolButton>(form.get(), "btnSel")->click();
        QVERIFY(!player->Playing());
        QVERIFY(!panel->Has_Frame());
        W<QToolButton>(form.get(), "btnView")->click();
        QTRY_VERIFY_WITH_TIMEOUT(form->Workers_Idle() && Row_Count(*form) == 3, 30000);
        Click_Row(*form, 0);
        QTRY_VERIFY_WITH_TIMEOUT(player->Frames_Shown() > 0, 30000);
        W<QToolButton>(form.get(), "btnView")->click();
        QVERIFY(!player->Playing());
        QVERIFY(!panel->Has_Frame());
        QTRY_VERIFY_WITH_TIMEOUT(form->Workers_Idle(), 30000);
    }

    // The seek bar and the duration: the bar spans the recording and follows
    // the position; a click on it plays from there; Stop sets the bar, the
    // position and the duration back.
    void seek_bar_and_duration() {
        auto form = Scanned();
        auto* status = W<QLabel>(form.get(), "lblStatus");
        auto* duration = W<QLabel>(form.get(), "lblDuration");
        auto* bar = W<QSlider>(form.get(), "sldPosition");
        TPreviewPlayer* player = form->Preview();
        QVERIFY(!bar->isEnabled());
        Click_Row(*form, Row_Of(*form, "DSJ-C3")); // three seconds
        QTRY_VERIFY_WITH_TIMEOUT(player->Frames_Shown() > 0, 30000);
        const int64_t total = Position_Ms(duration->text().mid(2));
        QVERIFY2(total >= 2900 && total <= 3100, qPrintable(duration->text()));
        QVERIFY(duration->text().startsWith("/ "));
        QVERIFY(bar->isEnabled());
        QCOMPARE(bar->maximum(), int(total));
        QTRY_VERIFY(bar->value() > 0 && std::abs(bar->value() - Position_Ms(status->text())) < 200);
        // A click at three quarters of the bar.
        W<QToolButton>(form.get(), "btnPlayPause")->click();
        QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() * 3 / 4, bar->height() / 2));
        QVERIFY2(bar->value() > total * 6 / 10 && bar->value() < total * 9 / 10,
                 qPrintable(QString::number(bar->value())));
        QVERIFY(Position_Ms(status->text()) == bar->value());
        QVERIFY(player->Paused()); // a paused preview stays paused where it was put
        W<QToolButton>(form.get(), "btnPlayPause")->click();
        QTRY_VERIFY_WITH_TIMEOUT(player->Frames_Shown() > 0, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(Position_Ms(status->text()) >= total * 6 / 10, 10000);
        W<QToolButton>(form.get(), "btnPlayStop")->click();
        QCOMPARE(status->text(), QString("00:00:00.000"));
        QCOMPARE(duration->text(), QString("/ 00:00:00.000"));
        QCOMPARE(bar->value(), 0);
        QVERIFY(!bar->isEnabled());
    }

    // Closing the window while a sample is being built waits for the builder
    // and leaves nothing playing.
    void close_while_a_sample_is_built() {
        auto form = Scanned();
        Click_Row(*form, 0);
        form->close();
        QVERIFY(form->Workers_Idle());
        QVERIFY(!form->Preview()->Playing());
        QCoreApplication::processEvents();
        QVERIFY(!form->Preview()->Playing());
    }

    // A click beside the rows selects and plays nothing, without a box; the
    // position label counts hours past a day and Stop sets it back to zero.
    void preview_without_selection_and_position_texts() {
        auto form = Listing({Listed("2019-05-12 10:00:00", "A", 10)});
        TBoxRecorder boxes;
        QTreeView* v = List(*form);
        v->clearSelection();
        QTest::mouseClick(v->viewport(), Qt::LeftButton, {}, QPoint(10, v->viewport()->height() - 5));
        QTest::qWait(50);
        QCOMPARE(Texts(boxes.Boxes), QStringList());
        QVERIFY(form->Workers_Idle());
        // "开始" before any sample was built.
        Set_PreviewPath("");
        W<QToolButton>(form.get(), "btnPlayStart")->click();
        QCOMPARE(boxes.Boxes.back().Text, QString("播放器无法播放此类型文件程序将退出!"));

        const struct {
            int64_t us;
            const char* text;
        } positions[] = {{0, "00:00:00.000"}, {3723004000, "01:02:03.004"}, {90000000000, "25:00:00.000"}};
        for (const auto& p : positions) {
            form->fplyr1Position(p.us);
            QCOMPARE(W<QLabel>(form.get(), "lblStatus")->text(), QString(p.text));
        }
        W<QToolButton>(form.get(), "btnPlayStop")->click();
        QCOMPARE(W<QLabel>(form.get(), "lblStatus")->text(), QString("00:00:00.000"));
    }

    // The damaged recording's sample plays through its zeros to its end while
    // the window keeps handling events.
    void damaged_sample_plays_to_its_end() {
        auto form = Scanned();
        TPreviewPlayer* player = form->Preview();
        auto* status = W<QLabel>(form.get(), "lblStatus");
        int ticks = 0;
        QTimer tick;
        connect(&tick, &QTimer::timeout, [&] { ++ticks; });
        tick.start(20);
        Click_Row(*form, Row_Of(*form, "DSJ-C3"));
        QTRY_VERIFY_WITH_TIMEOUT(player->Frames_Shown() > 0, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!player->Playing(), 60000);
        QVERIFY2(Position_Ms(status->text()) >= 2500, qPrintable(status->text()));
        QVERIFY(W<TVideoPanel>(form.get(), "pnl38")->Has_Frame()); // the last picture stays
        QVERIFY2(ticks > 50, qPrintable(QString::number(ticks)));
    }

    // The scan settings offer the generic type: chosen with the keyboard, it
    // finds an H.265 recording of another maker, lists it with its brand and
    // date, and the preview plays it.
    void generic_type_from_the_settings() {
        test::TTempDir dir("qrv-generic");
        const std::vector<uint8_t> rec =
            test::Make_GenericRecording(dir.Path(), {.Name = "hevc.mp4", .Video = "h265", .Seconds = 2});
        const std::string image = dir.File("generic.img");
        test::Write_File(image, std::vector<uint8_t>(4 << 20, 0));
        test::Write_At(image, 1 << 20, rec);
        auto form = Window();
        Open(*form, image);
        Set_FolderHook([&](QWidget*, const QString&) { return QString::fromStdString(dir.Path()); });
        TBoxRecorder boxes;
        W<QToolButton>(form.get(), "btnscan")->click();
        TForm3* dialog = form->Form3();
        QTRY_VERIFY(!boxes.Boxes.empty()); // the offer to save the results, answered OK
        auto* type = W<QComboBox>(dialog, "cbb2");
        QCOMPARE(type->count(), 2);
        QCOMPARE(type->itemText(1), QString("类型2:MP4/MOV----通用(H.264/H.265)"));
        type->setFocus();
        QTest::keyClick(type, Qt::Key_Down);
        QCOMPARE(type->currentIndex(), 1);
        W<QPushButton>(dialog, "btnStartScan")->click();
        QTRY_VERIFY_WITH_TIMEOUT(form->Workers_Idle() && Row_Count(*form) == 1, 60000);
        QCOMPARE(Column(*form, 2), QStringList({"isom"}));
        QCOMPARE(Cell(*form, 0, 3), QString("2024-03-01 09:05:07"));
        TPreviewPlayer* player = form->Preview();
        Click_Row(*form, 0);
        QTRY_VERIFY_WITH_TIMEOUT(player->Frames_Shown() > 3, 30000);
        W<QToolButton>(form.get(), "btnPlayStop")->click();
        QTRY_VERIFY_WITH_TIMEOUT(form->Workers_Idle(), 30000);
    }

    // A scan of another image runs in a session of its own: while it runs the
    // list, its session and the bytes behind its rows stay those shown before
    // (the two whole recordings still come back byte for byte); the new
    // scan's results take the list over when it lists them.
    void scan_in_its_own_session_leaves_the_shown_list_alone() {
        auto form = Scanned();
        const std::shared_ptr<TScanSession> shown = form->Shown_Session();
        const QStringList before = Column(*form, 2);
        QCOMPARE(before.size(), 3);
        const std::string other = files_.File("other.img");
        std::vector<uint8_t> medium(size_t(8) << 20, 0);
        std::copy(recA_.begin(), recA_.end(), medium.begin() + (1 << 20));
        test::Write_File(other, medium);

        // Holds the scan at its first block until the list has been checked.
        struct TGate : TUiSink {
            std::shared_ptr<TUiSink> Next;
            std::promise<void> Reached, Release;
            std::shared_future<void> Go = Release.get_future().share();
            std::atomic<bool> Held{false};
            void Handle_UIMessage(const TUiMessage& m) override {
                if (m.MsgType == MSG_PROGRESS_STATUS && QThread::currentThread() != qApp->thread() &&
                    !Held.exchange(true)) {
                    Reached.set_value();
                    Go.wait_for(std::chrono::seconds(60));
                }
                if (Next) Next->Handle_UIMessage(m);
            }
        };
        auto gate = std::make_shared<TGate>();
        gate->Next = Get_UISink();
        auto reached = gate->Reached.get_future();
        Set_UISink(gate);
        TScanParams p;
        p.Node = test::Image_FileNode(other);
        p.EndSec = int64_t(medium.size()) / 512;
        QVERIFY(Start_Scan(*form, p));
        QTRY_VERIFY_WITH_TIMEOUT(reached.wait_for(std::chrono::seconds(0)) == std::future_status::ready,
                                 30000);

        const std::shared_ptr<TScanSession> scanning = form->Scanning_Session();
        QVERIFY(scanning && scanning != shown);
        QVERIFY(form->Shown_Session() == shown);
        QCOMPARE(Column(*form, 2), before);
        int whole = 0;
        for (const TResultRow& row : form->Results()->Model().Rows()) {
            const std::string file = files_.File("kept" + row.Caption + ".mp4");
            {
                auto src = Open_Source(image_);
                auto out = TOutputFile::Create(file, TOutputGuard({image_}));
                QVERIFY(src && out);
                QVERIFY(Write_Recording(shown->Rebuilds.Get(row.ResultIndex), *src, *out));
                QVERIFY(out->Commit_Replacing());
            }
            const auto bytes = test::Read_File(file);
            whole += bytes == recA_ || bytes == recB_;
        }
        QCOMPARE(whole, 2);

        gate->Release.set_value();
        QTRY_VERIFY_WITH_TIMEOUT(form->Workers_Idle() && !form->Form2()->isVisible(), 60000);
        Set_UISink(gate->Next);
        QVERIFY(form->Shown_Session() == scanning && !form->Scanning_Session());
        QCOMPARE(Column(*form, 2).size(), 1);
        QCOMPARE(shown->Rebuilds.Count() >= 3, true); // the old session is untouched
    }
};

QTEST_MAIN(TResultsTest)
#include "results_test.moc"
