// The sources page as a user drives it: the refresh against a fake machine,
// the properties of every kind of node, image files and their partitions,
// the region dialog, the hex view, the scan settings with their refusals, a
// whole scan started from the dialog, imaging, and what a user without the
// right to read a device is told.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QApplication>
#include <QSet>
#include <QDesktopServices>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QtTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/advanced_dialog.h"
#include "app/main_window.h"
#include "app/progress_dialog.h"
#include "app/region_dialog.h"
#include "app/settings_dialog.h"
#include "app_test_support.h"
#include "common/op_state.h"
#include "common/text_format.h"
#include "platform/disk_enum.h"
#include "platform/same_disk.h"
#include "support/disk_image.h"
#include "support/recording_writer.h"
#include "support/test_env.h"

using namespace qrv;
using namespace qrv::app;
using namespace qrv::apptest;
namespace fs = std::filesystem;

namespace {

void Put(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text << "\n";
}

// A sparse file of the given size (a device of the fake machine nobody formatted).
void Sparse(const fs::path& p, int64_t bytes) {
    fs::create_directories(p.parent_path());
    std::ofstream(p).close();
    fs::resize_file(p, uintmax_t(bytes));
}

// The item at a path of child positions from the root item ({} is the root).
QTreeWidgetItem* At(QTreeWidget* tree, std::initializer_list<int> path) {
    QTreeWidgetItem* it = tree->topLevelItem(0);
    for (int i : path)
        it = it ? it->child(i) : nullptr;
    if (!it) qFatal("no tree item at that position");
    return it;
}

void Click(QTreeWidget* tree, QTreeWidgetItem* item) {
    tree->scrollToItem(item);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(item).center());
}

QStringList Rows(QTreeWidget* list) {
    QStringList out;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        out << list->topLevelItem(i)->text(0) + "=" + list->topLevelItem(i)->text(1);
    return out;
}

QStringList Texts(const std::vector<TBoxRequest>& boxes) {
    QStringList out;
    for (const auto& b : boxes)
        out << b.Text;
    return out;
}

// Every caption a language rule covers in a window, combo-box entries included.
QStringList Captions(QWidget* window) {
    QStringList out{window->windowTitle()};
    for (QObject* o : window->findChildren<QObject*>()) {
        if (auto* b = qobject_cast<QAbstractButton*>(o))
            out << b->text();
        else if (auto* l = qobject_cast<QLabel*>(o))
            out << l->text();
        else if (auto* g = qobject_cast<QGroupBox*>(o))
            out << g->title();
        else if (auto* t = qobject_cast<QTabWidget*>(o))
            for (int i = 0; i < t->count(); ++i)
                out << t->tabText(i);
        else if (auto* c = qobject_cast<QComboBox*>(o))
            for (int i = 0; i < c->count(); ++i)
                out << c->itemText(i);
    }
    out.removeAll(QString());
    return out;
}

// Raw image whose every sector starts with "SECTOR" and its number.
void Marked_Image(const std::string& path, int sectors) {
    std::vector<uint8_t> bytes(size_t(sectors) * 512, 0);
    for (int s = 0; s < sectors; ++s)
        std::snprintf(reinterpret_cast<char*>(bytes.data()) + size_t(s) * 512, 16, "SECTOR%05d", s);
    test::Write_File(path, bytes);
}

// A machine as sysfs shows it: a fixed disk with 4096-byte sectors and one
// unformatted partition, a card reader without a card (not listed), a
// removable card holding a FAT32 file system without a partition table, and a
// CD drive (never listed).
struct TFakeMachine {
    test::TTempDir Dir{"qrv-machine"};
    std::optional<test::TDiskImage> Card;
    fs::path Block() const { return fs::path(Dir.Path()) / "sys" / "block"; }
    std::string Dev(const char* name) const { return Dir.Path() + "/dev/" + name; }
    TEnumRoots Roots() const { return {Dir.Path() + "/sys", Dir.Path() + "/dev", Dir.Path() + "/mountinfo"}; }
    void Build(std::string* skip) {
        const fs::path b = Block();
        Put(b / "sda" / "size", "2097152");
        Put(b / "sda" / "device" / "model", "  WDC WD10EZEX  ");
        Put(b / "sda" / "removable", "0");
        Put(b / "sda" / "queue" / "logical_block_size", "4096");
        Put(b / "sda" / "sda1" / "partition", "1");
        Put(b / "sda" / "sda1" / "size", "1048576");
        Put(b / "sda" / "sda1" / "start", "2048");
        Sparse(Dev("sda"), 2097152LL * 512);
        Sparse(Dev("sda1"), 1048576LL * 512);
        Put(b / "sdb" / "size", "0");
        Put(b / "sdb" / "device" / "model", "Empty Reader");
        Put(b / "sdc" / "size", "81920");
        Put(b / "sdc" / "device" / "model", "SD Card Reader");
        Put(b / "sdc" / "removable", "1");
        Put(b / "sr0" / "size", "8192");
        Put(fs::path(Dir.Path()) / "mountinfo",
            "40 28 8:99 / /media/VANTO\\040card rw,relatime - vfat " + Dev("sdc") + " rw\n");
        test::TVolumeLayout plan;
        plan.Fs = "FAT32";
        plan.VolumeBytes = 40 << 20;
        plan.ClusterBytes = 512;
        plan.Label = "VANTO";
        Card = test::Make_DiskImage(Dev("sdc"), plan, skip);
    }
};

} // namespace

// Hands the URLs the window asks the desktop to open to a function while it lives.
class TUrlSink : public QObject {
    Q_OBJECT
  public:
    explicit TUrlSink(std::function<void(const QUrl&)> f) : f_(std::move(f)) {
        QDesktopServices::setUrlHandler("file", this, "Open");
    }
    ~TUrlSink() override { QDesktopServices::unsetUrlHandler("file"); }
  public slots:
    void Open(const QUrl& url) { f_(url); }

  private:
    std::function<void(const QUrl&)> f_;
};

class TSourcesTest : public QObject {
    Q_OBJECT

    TFakeMachine machine_;
    test::TTempDir files_{"qrv-sources"};
    std::string mbr_;  // disk image: a FAT32 partition and a Linux partition
    std::string raw_;  // 10,000 marked sectors, no partition table
    std::string card_; // FAT32 volume with a deleted recording
    TProgramFolder folder_;
    TProgramFolder english_{"1\r\n"};

    // A window whose refresh sees only the fake machine.
    std::unique_ptr<TForm1> Window(const TProgramFolder& folder) {
        auto form = std::make_unique<TForm1>(folder.Path());
        form->Set_EnumRoots(machine_.Roots());
        form->show();
        return form;
    }
    std::unique_ptr<TForm1> Window() { return Window(folder_); }

    static void Open(TForm1& form, const std::string& path) {
        auto previous = Set_OpenFileHook(
            [path](QWidget*, const QString&, const QString&) { return QString::fromStdString(path); });
        W<QToolButton>(&form, "btnOpenImg")->click();
        Set_OpenFileHook(previous);
    }

    // Makes a region of the focused node through the region dialog.
    static void Region(TForm1& form, const char* start, const char* count) {
        W<QToolButton>(&form, "btnCreateRegion")->click();
        W<QLineEdit>(form.Form4(), "edtStartSec")->setText(start);
        W<QLineEdit>(form.Form4(), "edtSecCount")->setText(count);
        W<QPushButton>(form.Form4(), "btnToImage")->click();
    }

  private slots:
    void initTestCase() {
        std::string skip;
        machine_.Build(&skip);
        if (!machine_.Card) QFAIL(("a tool the fixtures need is missing: " + skip).c_str());

        mbr_ = files_.File("mbr.img");
        test::TVolumeLayout plan;
        plan.Fs = "FAT32";
        plan.VolumeBytes = 40 << 20;
        plan.ClusterBytes = 512;
        plan.Offset = 2048 * 512;
        plan.ImageBytes = 48 << 20;
        if (!test::Make_DiskImage(mbr_, plan, &skip)) QFAIL(skip.c_str());
        test::Write_PartitionTable(mbr_, {{2048, 81920, 0x0c}, {86016, 8192, 0x83}});

        raw_ = files_.File("marked.img");
        Marked_Image(raw_, 10000);

        card_ = files_.File("card.img");
        plan.Offset = 0;
        plan.ImageBytes = 0;
        auto card = test::Make_DiskImage(card_, plan, &skip);
        if (!card) QFAIL(skip.c_str());
        test::TRecordingPlan rs;
        rs.Seconds = 2;
        rs.Seed = 41;
        rs.Model = "DSJ-V8";
        const auto rec = test::Make_Recording(rs);
        const int64_t first = card->Find_FreeRun(int64_t(rec.Bytes.size()) / card->ClusterBytes + 8);
        QVERIFY(first >= 0);
        card->Write_Contiguous(first + 2, rec.Bytes); // deleted: its clusters are free
    }

    void cleanup() { Set_FolderHook({}); }

    // The refresh lists the fake machine's disks in name order with their
    // volumes, keeps opened images and regions (a disk's and an image's)
    // and empties the log.
    void refresh_lists_disks_and_volumes() {
        auto form = Window();
        auto* tree = W<QTreeWidget>(form.get(), "vrtlstrngtr1");
        Open(*form, raw_);
        Click(tree, At(tree, {2}));
        Region(*form, "100", "300");
        tree->setCurrentItem(At(tree, {1, 0}));
        Region(*form, "0", "64");
        Send_Log("扫描开始", "x");
        W<QToolButton>(form.get(), "btnRef")->click();
        QStringList shown;
        for (QTreeWidgetItemIterator it(tree); *it; ++it) {
            int depth = 0;
            for (QTreeWidgetItem* p = (*it)->parent(); p; p = p->parent())
                ++depth;
            shown << QString("%1|%2|%3|%4|%5|%6")
                         .arg(depth)
                         .arg((*it)->text(0), (*it)->text(1), (*it)->text(2), (*it)->text(3))
                         .arg(Image_Of((*it)->icon(0)));
            QVERIFY((*it)->isExpanded() || (*it)->childCount() == 0);
        }
        const QString dev = QString::fromStdString(machine_.Dir.Path() + "/dev/");
        QCOMPARE(shown, QStringList({
                            "0|" + QString::fromStdString(Get_ComputerLabel()) + "||||0",
                            "1|WDC WD10EZEX|HDD0|RAW|1.00 GB|1",
                            "2|" + dev + "sda1|||0.50 GB|2",
                            "1|SD Card Reader|HDD1|RAW|0.04 GB|1",
                            "2|" + dev + "sdc|VANTO|FAT32|0.04 GB|2",
                            "3|" + dev + "sdc|创建区域|FAT32|0.03 MB|-1",
                            "1|" + QString::fromStdString(raw_) + "|镜像文件|RAW|4.88 MB|3",
                            "2|" + QString::fromStdString(raw_) + "|创建区域|RAW|0.15 MB|2",
                        }));
        QCOMPARE(W<QTreeWidget>(form.get(), "lvlog")->topLevelItemCount(), 0);
    }

    // Clicking a node fills the property list and the hex view's labels and
    // shows the node's first sector; clicking the root keeps the rows.
    void properties_of_every_kind_data() {
        QTest::addColumn<bool>("english");
        QTest::addColumn<QList<int>>("path");
        QTest::addColumn<QString>("rows"); // name=value pairs joined by ";"
        QTest::addColumn<QString>("firstSector");
        QTest::addColumn<int>("hexRows");
        const QString dev = QString::fromStdString(machine_.Dir.Path() + "/dev/");
        const QString mbr = QString::fromStdString(mbr_);
        const QString clusters = QString::number(machine_.Card->TotalClusters);
        // clang-format off
        QTest::newRow("physical disk") << false << QList<int>{0}
            << "磁盘类型=物理磁盘;型号/名称=WDC WD10EZEX;挂载点=;卷标=;文件系统=;容量(GB)=1.00 GB;"
               "每扇区字节数=512;总扇区数(Sector)=2097152" << "0" << 32;
        QTest::newRow("volume with 4096-byte sectors") << false << QList<int>{0, 0}
            << "磁盘类型=逻辑磁盘;型号/名称=" + dev + "sda1;挂载点=;卷标=;文件系统=;容量(GB)=0.50 GB;"
               "每扇区字节数=4096;总扇区数(Sector)=131072;起始扇区=256;总容量(Byte)=536870912;剩余空间(Byte)=-1;"
               "簇大小(Sector)=0;总簇数=0;空闲簇数=0" << "0" << 256;
        QTest::newRow("FAT32 card") << false << QList<int>{1, 0}
            << "磁盘类型=逻辑磁盘;型号/名称=" + dev + "sdc;挂载点=/media/VANTO card;卷标=VANTO;"
               "文件系统=FAT32;容量(GB)=0.04 GB;每扇区字节数=512;总扇区数(Sector)=81920;起始扇区=0;总容量(Byte)=41943040;"
               "剩余空间(Byte)=-1;簇大小(Sector)=1;总簇数=" + clusters + ";空闲簇数=0" << "0" << 32;
        QTest::newRow("image file") << false << QList<int>{2}
            << "磁盘类型=镜像文件;型号/名称=" + mbr + ";挂载点=;卷标=镜像文件;文件系统=RAW;"
               "容量(GB)=0.05 GB;每扇区字节数=512;总扇区数(Sector)=98304" << "0" << 32;
        QTest::newRow("region of the image") << false << QList<int>{2, 0}
            << "磁盘类型=镜像卷;型号/名称=" + mbr + ";挂载点=;卷标=镜像卷;文件系统=FAT32;"
               "容量(GB)=0.04 GB;每扇区字节数=512;总扇区数(Sector)=81920;起始扇区=2048" << "2048" << 32;
        QTest::newRow("image file in English") << true << QList<int>{2}
            << "Disk type=Image file;Model/Name=" + mbr + ";Mount point=;Label=Image file;"
               "File system=RAW;Capacity (GB)=0.05 GB;Bytes per sector=512;Total sectors (Sector)=98304"
            << "0" << 32;
        QTest::newRow("region of the image in English") << true << QList<int>{2, 0}
            << "Disk type=Image volume;Model/Name=" + mbr + ";Mount point=;Label=Image volume;File system=FAT32;"
               "Capacity (GB)=0.04 GB;Bytes per sector=512;Total sectors (Sector)=81920;Start sector=2048"
            << "2048" << 32;
        // clang-format on
    }
    void properties_of_every_kind() {
        QFETCH(bool, english);
        QFETCH(QList<int>, path);
        QFETCH(QString, rows);
        QFETCH(QString, firstSector);
        QFETCH(int, hexRows);
        auto form = Window(english ? english_ : folder_);
        Open(*form, mbr_);
        auto* tree = W<QTreeWidget>(form.get(), "vrtlstrngtr1");
        QTreeWidgetItem* item = tree->topLevelItem(0);
        for (int i : path)
            item = item->child(i);
        W<QTabWidget>(form.get(), "pgc2")->setCurrentIndex(1);
        Click(tree, item);
        // The HEX page stays shown for the newly selected source.
        QCOMPARE(W<QTabWidget>(form.get(), "pgc2")->currentIndex(), 1);
        auto* list = W<QTreeWidget>(form.get(), "lvHDDAttribute");
        QCOMPARE(Rows(list).join(';'), rows);
        QCOMPARE(W<QLineEdit>(form.get(), "edtSec")->text(), firstSector);
        const QStringList hex =
            W<QPlainTextEdit>(form.get(), "hexView")->toPlainText().split('\n', Qt::SkipEmptyParts);
        QCOMPARE(hex.size(), hexRows);
        QVERIFY(hex.last().startsWith(QString("%1").arg((hexRows - 1) * 16, 8, 16, QChar('0')).toUpper()));
        QCOMPARE(W<QLabel>(form.get(), "pnl30")->text(), item->text(0));
        QCOMPARE(W<QTreeWidget>(form.get(), "lvlog")->topLevelItemCount(), 0);

        Click(tree, tree->topLevelItem(0)); // the root
        QCOMPARE(Rows(list).join(';'), rows);
        QCOMPARE(W<QLineEdit>(form.get(), "edtSec")->text(), QString("0"));
        QCOMPARE(W<QLabel>(form.get(), "lblTotalsec")->text(), QString("0"));
        QCOMPARE(W<QLabel>(form.get(), "lblPerSecbyte")->text(), QString("512"));
    }

    // Image files dropped on the window open as sources with the checks of
    // "打开镜像"; a drag carrying anything but local files is refused. The same
    // entry serves the files named on the command line.
    void dropped_images_open_data() {
        QTest::addColumn<QStringList>("urls");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QStringList>("images"); // image nodes under the root afterwards
        QTest::addColumn<QStringList>("boxes");
        const QString raw = QString::fromStdString(raw_), mbr = QString::fromStdString(mbr_);
        const QString missing = QString::fromStdString(files_.File("missing.img"));
        QTest::newRow("two images") << QStringList{QUrl::fromLocalFile(raw).toString(),
                                                   QUrl::fromLocalFile(mbr).toString()}
                                    << true << QStringList{raw, mbr} << QStringList{};
        QTest::newRow("the same image twice and a missing file")
            << QStringList{QUrl::fromLocalFile(raw).toString(), QUrl::fromLocalFile(raw).toString(),
                           QUrl::fromLocalFile(missing).toString()}
            << true << QStringList{raw}
            << QStringList{"已经添加过此镜像文件,请勿重复添加!", "无法打开此镜像文件!"};
        QTest::newRow("a web address") << QStringList{"https://example.org/card.img"} << false << QStringList{}
                                       << QStringList{};
    }
    void dropped_images_open() {
        QFETCH(QStringList, urls);
        QFETCH(bool, accepted);
        QFETCH(QStringList, images);
        QFETCH(QStringList, boxes);
        auto form = Window();
        TBoxRecorder boxes_shown;
        QMimeData data;
        QList<QUrl> list;
        for (const QString& u : urls)
            list << QUrl(u);
        data.setUrls(list);
        const QPoint at = form->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(form.get(), &enter);
        QCOMPARE(enter.isAccepted(), accepted);
        if (accepted) {
            QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(form.get(), &drop);
        }
        QTreeWidgetItem* root = W<QTreeWidget>(form.get(), "vrtlstrngtr1")->topLevelItem(0);
        QStringList shown;
        for (int i = 0; i < root->childCount(); ++i)
            if (root->child(i)->text(1) == "镜像文件") shown << root->child(i)->text(0);
        QCOMPARE(shown, images);
        QCOMPARE(Texts(boxes_shown.Boxes), boxes);
    }

    // An image with a partition table gets its FAT32 partition as a region;
    // the same image again is refused, a copy under another name is not; only
    // images and regions can be deleted, an image with its regions.
    void open_image_refusals_and_delete() {
        auto form = Window();
        auto* tree = W<QTreeWidget>(form.get(), "vrtlstrngtr1");
        TBoxRecorder boxes;
        Open(*form, "");
        Open(*form, mbr_);
        // Items are made anew whenever the sources change.
        QTreeWidgetItem* root = tree->topLevelItem(0);
        QCOMPARE(root->childCount(), 3);
        QTreeWidgetItem* image = root->child(2);
        QCOMPARE(image->text(1), QString("镜像文件"));
        QCOMPARE(Image_Of(image->icon(0)), 3);
        QCOMPARE(image->childCount(), 1);
        QCOMPARE(image->child(0)->text(2), QString("FAT32"));
        QCOMPARE(Image_Of(image->child(0)->icon(0)), 2);
        Open(*form, mbr_);
        const std::string copy = files_.File("mbr-copy.img");
        fs::copy_file(mbr_, copy, fs::copy_options::overwrite_existing);
        Open(*form, copy);
        QCOMPARE(Texts(boxes.Boxes),
                 QStringList({"请选中要加载的镜像文件!", "已经添加过此镜像文件,请勿重复添加!"}));
        QCOMPARE(tree->topLevelItem(0)->childCount(), 4);

        auto* del = W<QAction>(form.get(), "N6");
        for (std::initializer_list<int> keep : {std::initializer_list<int>{}, {0}, {0, 0}}) {
            Click(tree, At(tree, keep));
            del->trigger();
        }
        QCOMPARE(tree->topLevelItem(0)->childCount(), 4);
        Click(tree, At(tree, {2}));
        del->trigger();
        QCOMPARE(tree->topLevelItem(0)->childCount(), 3);
        QCOMPARE(At(tree, {2})->text(0), QString::fromStdString(copy));
        QCOMPARE(At(tree, {2})->childCount(), 1);
        QCOMPARE(tree->currentItem(), tree->topLevelItem(0));
        fs::remove(copy);
    }

    // The region dialog's buttons on a source of 10,000 sectors.
    void region_dialog_checks_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("count");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("startAfter");
        QTest::addColumn<QString>("countAfter");
        QTest::addColumn<QString>("region"); // the new node's capacity, "" for none
        // clang-format off
        QTest::newRow("empty")               << "btnToImage" << ""     << "64"   << "起始扇区和扇区数量为空,请重新输入"         << "0"    << "64"   << "";
        QTest::newRow("past the end")        << "btnToImage" << "9900" << "200"  << "起始扇区值大于(或等于)结束扇区,请重新输入" << "0"    << "200"  << "";
        QTest::newRow("63 sectors")          << "btnToImage" << "0"    << "63"   << "扇区数量值小于64,请重新输入"               << "0"    << "64"   << "";
        QTest::newRow("not a whole number")  << "btnToImage" << "1.5"  << "64"   << "'1.5' is not a valid integer value"        << "1.5"  << "64"   << "";
        QTest::newRow("default: the rest")   << "btn1"       << "1000" << "64"   << ""                                          << "1000" << "9000" << "";
        QTest::newRow("default below 64")    << "btn1"       << "1000" << "10"   << "扇区数量值小于64,请重新输入"               << "1000" << "64"   << "";
        QTest::newRow("64 sectors accepted") << "btnToImage" << "9936" << "64"   << ""                                          << "9936" << "64"   << "0.03 MB";
        QTest::newRow("raw region")          << "btnToImage" << "8192" << "1000" << ""                                          << "8192" << "1000" << "0.49 MB";
        // clang-format on
    }
    void region_dialog_checks() {
        QFETCH(QString, button);
        QFETCH(QString, start);
        QFETCH(QString, count);
        QFETCH(QString, message);
        QFETCH(QString, startAfter);
        QFETCH(QString, countAfter);
        QFETCH(QString, region);
        auto form = Window();
        auto* tree = W<QTreeWidget>(form.get(), "vrtlstrngtr1");
        Open(*form, raw_);
        Click(tree, At(tree, {2}));
        TBoxRecorder boxes;
        W<QToolButton>(form.get(), "btnCreateRegion")->click();
        TForm4* dialog = form->Form4();
        QVERIFY(dialog->isVisible());
        QVERIFY(!W<QWidget>(form.get(), "pnl1")->isEnabled());
        QCOMPARE(W<QLabel>(dialog, "lblTotalSec")->text(), QString("10000"));
        auto* edtStart = W<QLineEdit>(dialog, "edtStartSec");
        auto* edtCount = W<QLineEdit>(dialog, "edtSecCount");
        QCOMPARE(edtStart->text() + "/" + edtCount->text(), QString("0/64"));
        // Only digits, backspace and the full stop get through the keyboard.
        edtStart->clear();
        QTest::keyClicks(edtStart, "1a2-.3");
        QCOMPARE(edtStart->text(), QString("12.3"));
        edtStart->setText(start);
        edtCount->setText(count);
        W<QPushButton>(dialog, button.toLatin1())->click();
        QCOMPARE(Texts(boxes.Boxes), message.isEmpty() ? QStringList() : QStringList{message});
        if (!boxes.Boxes.empty())
            QCOMPARE(int(boxes.Boxes[0].Icon),
                     int(message.startsWith("'") ? TBoxIcon::Critical : TBoxIcon::Information));
        QCOMPARE(edtStart->text() + "/" + edtCount->text(), startAfter + "/" + countAfter);
        QTreeWidgetItem* image = At(tree, {2});
        QCOMPARE(image->childCount(), region.isEmpty() ? 0 : 1);
        QCOMPARE(dialog->isVisible(), region.isEmpty());
        QCOMPARE(W<QWidget>(form.get(), "pnl1")->isEnabled(), !region.isEmpty());
        if (!region.isEmpty()) {
            QCOMPARE(image->child(0)->text(1) + "|" + image->child(0)->text(2) + "|" +
                         image->child(0)->text(3),
                     "创建区域|RAW|" + region);
            QVERIFY(image->isExpanded());
        }
        W<QPushButton>(dialog, "btn5")->click();
        QVERIFY(!dialog->isVisible());
        QVERIFY(W<QWidget>(form.get(), "pnl1")->isEnabled());
    }

    // The hex view's buttons keep to the node's sectors; a region's are
    // numbered on its image, and a typed number below it shows the image's sector.
    void hex_view_clamps_data() {
        QTest::addColumn<bool>("region");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("sector");
        // clang-format off
        QTest::newRow("image: << at 0")            << false << "btn15"   << "0"     << "0";
        QTest::newRow("image: >> at the last")     << false << "btn20"   << "9999"  << "9999";
        QTest::newRow("image: >> from 5")          << false << "btn20"   << "5"     << "6";
        QTest::newRow("image: << from 5")          << false << "btn15"   << "5"     << "4";
        QTest::newRow("image: jump past the end")  << false << "btnJump" << "20000" << "9999";
        QTest::newRow("region: << at its start")   << true  << "btn15"   << "8192"  << "8192";
        QTest::newRow("region: >> at its last")    << true  << "btn20"   << "9191"  << "9191";
        QTest::newRow("region: jump past its end") << true  << "btnJump" << "9500"  << "9191";
        QTest::newRow("region: jump before it")    << true  << "btnJump" << "5"     << "8192";
        // clang-format on
    }
    void hex_view_clamps() {
        QFETCH(bool, region);
        QFETCH(QString, button);
        QFETCH(QString, typed);
        QFETCH(QString, sector);
        auto form = Window();
        auto* tree = W<QTreeWidget>(form.get(), "vrtlstrngtr1");
        Open(*form, raw_);
        Click(tree, At(tree, {2}));
        if (region) {
            Region(*form, "8192", "1000");
            Click(tree, At(tree, {2, 0}));
            QCOMPARE(W<QLabel>(form.get(), "lblTotalsec")->text(), QString("1000"));
        }
        W<QToolButton>(form.get(), "btnHex")->click();
        QCOMPARE(W<QTabWidget>(form.get(), "pgc2")->currentIndex(), 1);
        auto* edtSec = W<QLineEdit>(form.get(), "edtSec");
        edtSec->setText(typed);
        W<QPushButton>(form.get(), button.toLatin1())->click();
        QCOMPARE(edtSec->text(), sector);
        const QString text = W<QPlainTextEdit>(form.get(), "hexView")->toPlainText();
        QVERIFY2(text.startsWith("00000000  53 45 43 54 4F 52 "), qPrintable(text.left(80)));
        QCOMPARE(text.split('\n').first().right(16),
                 QString("SECTOR%1").arg(sector.toInt(), 5, 10, QChar('0')) + ".....");

        TBoxRecorder boxes;
        edtSec->setText("1.5");
        W<QPushButton>(form.get(), "btnJump")->click();
        QCOMPARE(Texts(boxes.Boxes), QStringList{"'1.5' is not a valid integer value"});
        QCOMPARE(W<QPlainTextEdit>(form.get(), "hexView")->toPlainText(), text);
    }

    // The scan command and the scan page refuse what cannot be scanned, each
    // with its message, and start nothing.
    void scan_settings_refusals_data() {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("end");
        QTest::addColumn<QString>("dates"); // "from|to" turns the date window on
        QTest::addColumn<QStringList>("messages");
        const QString datesHint =
            "指定日期/时间时请注意时间采用24小时制,设置此项后程序在扫描时会自动保留符合条件的日期/"
            "时间,如果不能确定时间请关闭此项!";
        const QString reversed =
            "结束日期/时间小于起始日期/时间,正确的设置是起始日期/时间小于或者等于结束日期/时间,"
            "请重新设置!";
        // clang-format off
        QTest::newRow("start = end")        << "100" << "100"   << "" << QStringList{"起始扇区和结束扇区相同,请重新设置!"};
        QTest::newRow("start > end")        << "200" << "100"   << "" << QStringList{"起始扇区大于结束扇区,请重新设置!"};
        QTest::newRow("not a whole number") << "1.5" << "100"   << "" << QStringList{"'1.5' is not a valid integer value"};
        QTest::newRow("reversed dates")     << "0"   << "10000" << "2018-01-01 23:50:00|2018-01-01 23:00:00"
                                            << QStringList{datesHint, reversed};
        // clang-format on
    }
    void scan_settings_refusals() {
        QFETCH(QString, start);
        QFETCH(QString, end);
        QFETCH(QString, dates);
        QFETCH(QStringList, messages);
        auto form = Window();
        auto* tree = W<QTreeWidget>(form.get(), "vrtlstrngtr1");
        Open(*form, raw_);
        const std::string empty = files_.File("empty.img");
        test::Write_File(empty, {});
        Open(*form, empty);
        TBoxRecorder boxes;
        auto* scan = W<QToolButton>(form.get(), "btnscan");
        Click(tree, At(tree, {}));
        scan->click();
        Click(tree, At(tree, {3}));
        scan->click();
        QCOMPARE(Texts(boxes.Boxes),
                 QStringList({"请选中要扫描的盘符!", "当前存储容量为0无法扫描,程序将退出!"}));
        QCOMPARE(int(boxes.Boxes[1].Icon), int(TBoxIcon::Warning));
        boxes.Boxes.clear();

        // The raw image: the whole image, all space only, and the prompt to
        // save the results, whose folder is then cancelled: saving is off,
        // and no box asks for the folder again.
        int pickers = 0;
        QString pickerTitle;
        Set_FolderHook([&](QWidget*, const QString& title) {
            ++pickers;
            pickerTitle = title;
            return QString();
        });
        Click(tree, At(tree, {2}));
        scan->click();
        TForm3* dialog = form->Form3();
        QVERIFY(dialog->isVisible());
        QVERIFY(!W<QWidget>(form.get(), "pnl1")->isEnabled());
        QTRY_COMPARE(pickers, 1);
        QCOMPARE(
            Texts(boxes.Boxes),
            QStringList(
                {"请选择一个文件夹来保存“扫描结果”，这样可以方便下次加载结果查看，点击确定开始设置路径!"}));
        QCOMPARE(pickerTitle, QString("提示:\n设置扫描结果的保存路径,注意不要保存到同一个磁盘!"));
        boxes.Boxes.clear();
        QVERIFY(!W<QCheckBox>(dialog, "chk1")->isChecked());
        QVERIFY(!W<QLineEdit>(dialog, "edtScanResultSavepath")->isEnabled());
        QVERIFY(!W<QComboBox>(dialog, "cbb1")->isEnabled());
        QCOMPARE(W<QLabel>(dialog, "lblTolalsec")->text(), QString("10000"));
        auto* edtStart = W<QLineEdit>(dialog, "edtStartSec");
        auto* edtEnd = W<QLineEdit>(dialog, "edtEndSec");
        QCOMPARE(edtStart->text() + "-" + edtEnd->text(), QString("0-10000"));

        edtStart->setText(start);
        edtEnd->setText(end);
        if (!dates.isEmpty()) {
            W<QCheckBox>(dialog, "chk2")->setChecked(true);
            W<QLineEdit>(dialog, "medtStarData")->setText(dates.section('|', 0, 0));
            // Typing the start leaves the end alone.
            QCOMPARE(W<QLineEdit>(dialog, "medtEndData")->text(), QString("2018-01-01 23:50:00"));
            W<QLineEdit>(dialog, "medtEndData")->setText(dates.section('|', 1, 1));
        }
        W<QPushButton>(dialog, "btnStartScan")->click();
        QCOMPARE(Texts(boxes.Boxes), messages);
        QVERIFY(dialog->isVisible());
        QVERIFY(form->Workers_Idle());
        QCOMPARE(W<QTreeWidget>(form.get(), "lvlog")->topLevelItemCount(), 0);

        W<QPushButton>(dialog, "btn2")->click(); // "默认"
        QCOMPARE(edtStart->text() + "-" + edtEnd->text(), QString("0-10000"));
        W<QPushButton>(dialog, "btnScanCacel")->click();
        QVERIFY(!dialog->isVisible());
        QVERIFY(W<QWidget>(form.get(), "pnl1")->isEnabled());
    }

    // A result file or an image is never put on the disk behind the source;
    // another disk is accepted.
    void output_refused_on_the_source_disk() {
        if (::geteuid() != 0) {
            if (test::Fixtures_Required()) QFAIL("making a device node needs root (QRV_REQUIRE_FIXTURES=1)");
            QSKIP("making a device node needs root");
        }
        test::TTempDir dir("qrv-samedisk");
        const auto disk = Get_FolderDisk(dir.Path());
        if (!disk) QSKIP("the temporary folder's file system lies on no block device here");
        // A fake machine whose one disk is the disk of the temporary folder.
        const fs::path b = fs::path(dir.Path()) / "sys" / "block" / "sdz";
        Put(b / "size", "2048");
        Put(b / "sdz1" / "partition", "1");
        Put(b / "sdz1" / "size", "1024");
        Sparse(dir.Path() + "/dev/sdz1", 1024 * 512);
        QCOMPARE(::mknod((dir.Path() + "/dev/sdz").c_str(), S_IFBLK | 0600, *disk), 0);
        TForm1 form(folder_.Path());
        form.Set_EnumRoots({dir.Path() + "/sys", dir.Path() + "/dev", dir.Path() + "/none"});
        form.show();
        auto* tree = W<QTreeWidget>(&form, "vrtlstrngtr1");
        // Focused without a click: a click would show the host disk's first sector.
        tree->setCurrentItem(At(tree, {0}));
        QCOMPARE(At(tree, {0})->text(1), QString("HDD0"));

        TBoxRecorder boxes;
        QString folder = QString::fromStdString(dir.Path());
        Set_FolderHook([&](QWidget*, const QString&) { return folder; });
        W<QToolButton>(&form, "btnscan")->click();
        TForm3* dialog = form.Form3();
        QTRY_VERIFY2_WITH_TIMEOUT(boxes.Boxes.size() == 2, qPrintable(Texts(boxes.Boxes).join(" / ")), 2000);
        QCOMPARE(boxes.Boxes[1].Text, QString("为避免覆盖,请不要设置保存路径到同一磁盘!"));
        QVERIFY(!W<QCheckBox>(dialog, "chk1")->isChecked());
        QCOMPARE(W<QLineEdit>(dialog, "edtScanResultSavepath")->text(), QString());
        folder = "/dev/shm"; // memory, no disk at all
        W<QCheckBox>(dialog, "chk1")->setChecked(true);
        QVERIFY(W<QLineEdit>(dialog, "edtScanResultSavepath")->text().startsWith("/dev/shm/"));
        W<QPushButton>(dialog, "btnScanCacel")->click();

        boxes.Boxes.clear();
        folder = QString::fromStdString(dir.Path());
        W<QToolButton>(&form, "btnToimage")->click();
        W<QPushButton>(dialog, "btn3")->click();
        QCOMPARE(Texts(boxes.Boxes), QStringList{"为避免覆盖,请不要设置保存路径到同一磁盘!"});
        QCOMPARE(W<QLineEdit>(dialog, "edt4")->text(), QString());
        W<QPushButton>(dialog, "btn5")->click();
        QVERIFY(W<QWidget>(&form, "pnl1")->isEnabled());
    }

    // A FAT32 card opened as an image, its volume scanned from the dialog with
    // the results saved: the scan ends on the results page with the deleted
    // recording listed and the result file written.
    void scan_from_the_dialog_reaches_the_results() {
        auto form = Window();
        auto* tree = W<QTreeWidget>(form.get(), "vrtlstrngtr1");
        Open(*form, card_);
        Click(tree, At(tree, {2, 0}));
        QCOMPARE(At(tree, {2, 0})->text(2), QString("FAT32"));
        test::TTempDir results("qrv-results");
        Set_FolderHook([&](QWidget*, const QString&) { return QString::fromStdString(results.Path()); });
        TBoxRecorder boxes;
        W<QToolButton>(form.get(), "btnscan")->click();
        TForm3* dialog = form->Form3();
        QTRY_COMPARE(boxes.Boxes.size(), size_t(1));
        QVERIFY(W<QComboBox>(dialog, "cbb1")->isEnabled());
        const QString path = W<QLineEdit>(dialog, "edtScanResultSavepath")->text();
        QVERIFY2(QRegularExpression("^" + QRegularExpression::escape(QString::fromStdString(results.Path())) +
                                    "/card\\.img-\\d{14}\\.QRV$")
                     .match(path)
                     .hasMatch(),
                 qPrintable(path));
        W<QRadioButton>(dialog, "rb2")->setChecked(true);
        W<QPushButton>(dialog, "btnStartScan")->click();
        QVERIFY(!dialog->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(form->Workers_Idle(), 120000);
        QTRY_VERIFY(!form->Form2()->isVisible());
        QCOMPARE(W<QTabWidget>(form.get(), "pgc1")->currentIndex(), 1);
        QVERIFY(W<QWidget>(form.get(), "pnl1")->isEnabled());
        const QAbstractItemModel* results_list = W<QTreeView>(form.get(), "lvScanResult")->model();
        QCOMPARE(results_list->rowCount(), 1);
        QCOMPARE(results_list->index(0, 2).data().toString(), QString("DSJ-V8"));
        QCOMPARE(form->Shown_Session()->Settings().TimeStandard, int(TIMESTD_CHINA));
        QCOMPARE(Read_Bytes(path).left(4), QByteArray("QRVL"));
        QStringList kinds;
        for (const auto& r : form->Log_Rows())
            kinds << QString::fromStdString(r[0]);
        QVERIFY2(kinds.contains("扫描开始") && kinds.contains("扫描完成") && !kinds.join("").contains("错误"),
                 qPrintable(kinds.join(" / ")));
    }

    // The imaging page copies the chosen sectors of a region into a new file
    // named after the source; an image file itself cannot be imaged.
    void imaging_from_the_dialog() {
        auto form = Window();
        auto* tree = W<QTreeWidget>(form.get(), "vrtlstrngtr1");
        Open(*form, raw_);
        test::TTempDir target("qrv-imaging");
        Set_FolderHook([&](QWidget*, const QString&) { return QString::fromStdString(target.Path()); });
        TBoxRecorder boxes;
        Click(tree, At(tree, {2}));
        W<QToolButton>(form.get(), "btnToimage")->click();
        QCOMPARE(Texts(boxes.Boxes), QStringList{"当前所选类型为文件,无法创建镜像!"});
        Region(*form, "100", "300");
        Click(tree, At(tree, {2, 0}));
        W<QToolButton>(form.get(), "btnToimage")->click();
        TForm3* dialog = form->Form3();
        QVERIFY(dialog->isVisible());
        QCOMPARE(W<QLineEdit>(dialog, "edt3")->text() + "-" + W<QLineEdit>(dialog, "edt2")->text(),
                 QString("100-400"));
        W<QLineEdit>(dialog, "edt3")->setText("150");
        W<QPushButton>(dialog, "btnToImage")->click(); // no target yet: asks for the folder first
        const QString file = W<QLineEdit>(dialog, "edt4")->text();
        QVERIFY2(file.startsWith(QString::fromStdString(target.Path()) + "/") && file.endsWith(".img"),
                 qPrintable(file));
        W<QPushButton>(dialog, "btnToImage")->click();
        QTRY_VERIFY_WITH_TIMEOUT(form->Workers_Idle(), 30000);
        QTRY_VERIFY(!form->Form2()->isVisible());
        const auto all = test::Read_File(raw_);
        const auto copied = test::Read_File(file.toStdString());
        QCOMPARE(copied.size(), size_t(250 * 512));
        QVERIFY(std::equal(copied.begin(), copied.end(), all.begin() + 150 * 512));
        QVERIFY(W<QWidget>(form.get(), "pnl1")->isEnabled());
        // A button opens the folder the image was written to.
        auto* openFolder = W<QToolButton>(form.get(), "btnOpenFolder");
        QTRY_VERIFY(openFolder->isVisible());
        QUrl opened;
        TUrlSink sink([&](const QUrl& url) { opened = url; });
        QTest::mouseClick(openFolder, Qt::LeftButton);
        QCOMPARE(opened.toLocalFile(), QFileInfo(file).absolutePath());

        // E01 chosen on the page, with a case number typed in: the container is
        // written with it, and the page offers the same choice when it opens again.
        W<QToolButton>(form.get(), "btnToimage")->click();
        QVERIFY(dialog->isVisible());
        auto* format = W<QComboBox>(dialog, "cmbImageFormat");
        QVERIFY(!W<QLineEdit>(dialog, "edtCaseNumber")->isEnabled());
        format->setFocus();
        QTest::keyClick(format, Qt::Key_Down);
        QCOMPARE(format->currentIndex(), 1);
        QTest::keyClicks(W<QLineEdit>(dialog, "edtCaseNumber"), "2026-117");
        W<QLineEdit>(dialog, "edt4")->setText(QString::fromStdString(target.File("card.img")));
        W<QPushButton>(dialog, "btnToImage")->click();
        QTRY_VERIFY_WITH_TIMEOUT(form->Workers_Idle(), 30000);
        QTRY_VERIFY(!form->Form2()->isVisible());
        QVERIFY2(fs::exists(target.File("card.E01")), qPrintable(QString::fromStdString(target.Path())));
        if (test::Have_Program("ewfinfo")) {
            std::string info;
            test::Run_Command("ewfinfo '" + target.File("card.E01") + "'", &info);
            QVERIFY2(info.find("2026-117") != std::string::npos, info.c_str());
        }
        W<QToolButton>(form.get(), "btnToimage")->click();
        QCOMPARE(W<QComboBox>(dialog, "cmbImageFormat")->currentIndex(), 1);
        QCOMPARE(W<QLineEdit>(dialog, "edtCaseNumber")->text(), QString("2026-117"));
        QTest::keyClick(dialog, Qt::Key_Escape);
    }

    // A user without the right to read a source is told what to do about it.
    void permission_hints() {
        test::TTempDir dir("qrv-denied");
        fs::permissions(dir.Path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                        fs::perms::others_read | fs::perms::others_exec);
        const std::string locked = dir.File("locked.img");
        Marked_Image(locked, 100);
        const bool root = ::geteuid() == 0;
        // Root reads anything; the checks run as an ordinary user for a moment.
        auto as_user = [root](const std::function<void()>& f) {
            if (root) QVERIFY(::seteuid(65534) == 0);
            f();
            if (root) QVERIFY(::seteuid(0) == 0);
        };
        std::string devNode;
        // No system bus: the device hint also names udisks2, whatever the host runs.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", QByteArray("unix:path=") + dir.File("no-bus").c_str());
        const auto busBack = qScopeGuard([] { qunsetenv("DBUS_SYSTEM_BUS_ADDRESS"); });
        if (root) {
            const fs::path b = fs::path(dir.Path()) / "sys" / "block" / "sdy";
            Put(b / "size", "2048");
            Put(b / "sdy1" / "partition", "1");
            Put(b / "sdy1" / "size", "1024");
            Sparse(dir.Path() + "/dev/sdy1", 1024 * 512);
            devNode = dir.Path() + "/dev/sdy";
            // A number no driver owns: opening it fails, but only after the rights are checked.
            QCOMPARE(::mknod(devNode.c_str(), S_IFBLK | 0600, makedev(240, 250)), 0);
        }
        TForm1 form(folder_.Path());
        form.Set_EnumRoots({dir.Path() + "/sys", dir.Path() + "/dev", dir.Path() + "/none"});
        form.show();
        auto* tree = W<QTreeWidget>(&form, "vrtlstrngtr1");
        Open(form, locked);
        fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_write);
        if (!root) fs::permissions(locked, fs::perms::none);
        TBoxRecorder boxes;
        const int imageAt = root ? 1 : 0;
        tree->setCurrentItem(At(tree, {imageAt}));
        as_user([&] { W<QToolButton>(&form, "btnscan")->click(); });
        QCOMPARE(Texts(boxes.Boxes), QStringList{QString::fromStdString("没有权限读取此文件:" + locked +
                                                                        "\n请检查文件的读取权限。")});
        QVERIFY(!form.Form3()->isVisible());
        if (!root) return;

        boxes.Boxes.clear();
        Click(tree, At(tree, {0}));
        tree->setCurrentItem(At(tree, {0}));
        as_user([&] {
            W<QToolButton>(&form, "btnscan")->click();
            W<QToolButton>(&form, "btnToimage")->click();
            W<QToolButton>(&form, "btnCreateRegion")->click();
            W<QPushButton>(&form, "btnJump")->click();
        });
        const QString hint =
            QString::fromStdString("没有权限读取此设备:" + devNode +
                                   "\n请以root身份运行本程序,或把当前用户加入disk组后重新登录: sudo "
                                   "usermod -aG disk nobody"
                                   "\n或安装并启动udisks2,由它在授权后只读打开设备: sudo apt-get install udisks2");
        QCOMPARE(Texts(boxes.Boxes), QStringList({hint, hint, hint}));
        QVERIFY(W<QWidget>(&form, "pnl1")->isEnabled());
        const auto rows = form.Log_Rows();
        QVERIFY(rows.size() >= 2);
        QCOMPARE(QString::fromStdString(rows[rows.size() - 2][2]), QString("获取文件句柄出错，程序将退出!"));
        QCOMPARE(QString::fromStdString(rows.back()[0] + "|" + rows.back()[2]), "错误|" + hint);
    }

    // Opens the dialog behind one of the main window's buttons as a person
    // does: the image chosen in the tree (a region of it for imaging, since an
    // image file is not imaged), no folder chosen in any picker. shown is the
    // dialog once it is on the screen, else nullptr (the test has failed).
    void Show_Dialog(TForm1& form, TBoxRecorder& boxes, const QString& opener, const QString& dialog,
                     QDialog*& shown) {
        auto* tree = W<QTreeWidget>(&form, "vrtlstrngtr1");
        Open(form, raw_);
        Click(tree, At(tree, {2}));
        Set_FolderHook([](QWidget*, const QString&) { return QString(); });
        if (opener == "btnToimage") {
            Region(form, "0", "64");
            Click(tree, At(tree, {2, 0}));
        }
        if (opener == "btn4") {
            W<QToolButton>(&form, "btnscan")->click();
            QTRY_VERIFY(!boxes.Boxes.empty()); // the offer to save the results
            QTest::mouseClick(W<QPushButton>(form.Form3(), "btn4"), Qt::LeftButton);
        } else {
            QTest::mouseClick(W<QToolButton>(&form, opener.toLatin1()), Qt::LeftButton);
        }
        auto* d = W<QDialog>(&form, dialog.toLatin1());
        QTRY_VERIFY(d->isVisible());
        QTest::qWait(150); // the scan page's offer to save the results comes and goes
        shown = d;
    }

    // Every dialog as a person leaves it: Escape cancels, Enter confirms
    // where that is harmless; afterwards the main window takes a click.
    void escape_and_enter_leave_the_window_usable_data() {
        QTest::addColumn<QString>("opener"); // the main window's button
        QTest::addColumn<QString>("dialog");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("regions"); // regions under the image afterwards
        QTest::newRow("region, Escape") << "btnCreateRegion"
                                        << "Form4" << int(Qt::Key_Escape) << 0;
        QTest::newRow("region, Enter") << "btnCreateRegion"
                                       << "Form4" << int(Qt::Key_Return) << 1;
        QTest::newRow("scan settings, Escape") << "btnscan"
                                               << "Form3" << int(Qt::Key_Escape) << 0;
        QTest::newRow("scan settings, Enter") << "btnscan"
                                              << "Form3" << int(Qt::Key_Return) << 0;
        QTest::newRow("imaging settings, Escape") << "btnToimage"
                                                  << "Form3" << int(Qt::Key_Escape) << 1;
        QTest::newRow("advanced settings, Escape") << "btn4"
                                                   << "Form7" << int(Qt::Key_Escape) << 0;
    }
    void escape_and_enter_leave_the_window_usable() {
        QFETCH(QString, opener);
        QFETCH(QString, dialog);
        QFETCH(int, key);
        QFETCH(int, regions);
        auto form = Window();
        auto* tree = W<QTreeWidget>(form.get(), "vrtlstrngtr1");
        TBoxRecorder boxes;
        QDialog* shown = nullptr;
        Show_Dialog(*form, boxes, opener, dialog, shown);
        if (!shown) return;
        QTest::keyClick(shown->focusWidget() ? shown->focusWidget() : shown, Qt::Key(key));
        QTRY_VERIFY(!shown->isVisible());
        if (dialog == "Form7") { // back in the scan settings, left with Escape too
            QVERIFY(form->Form3()->isVisible());
            QTest::keyClick(form->Form3(), Qt::Key_Escape);
            QTRY_VERIFY(!form->Form3()->isVisible());
        }
        QTRY_VERIFY(form->Workers_Idle());
        QCOMPARE(At(tree, {2})->childCount(), regions);
        QVERIFY(W<QWidget>(form.get(), "pnl1")->isEnabled());
        auto* pages = W<QTabWidget>(form.get(), "pgc2");
        pages->setCurrentIndex(0);
        QTest::mouseClick(W<QToolButton>(form.get(), "btnHex"), Qt::LeftButton);
        QCOMPARE(pages->currentIndex(), 1);
    }

    // The keyboard alone: Tab reaches every control of a dialog that takes
    // input, and the underlined letter of its cancel button (Alt+E) closes it.
    void keyboard_reaches_every_control_data() {
        QTest::addColumn<QString>("opener");
        QTest::addColumn<QString>("dialog");
        QTest::newRow("scan settings") << "btnscan"
                                       << "Form3";
        QTest::newRow("imaging settings") << "btnToimage"
                                          << "Form3";
        QTest::newRow("create region") << "btnCreateRegion"
                                       << "Form4";
    }
    void keyboard_reaches_every_control() {
        QFETCH(QString, opener);
        QFETCH(QString, dialog);
        auto form = Window();
        TBoxRecorder boxes;
        QDialog* shown = nullptr;
        Show_Dialog(*form, boxes, opener, dialog, shown);
        if (!shown) return;
        QSet<QWidget*> wanted, reached;
        for (QWidget* w : shown->findChildren<QWidget*>())
            if (w->isVisible() && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus) &&
                !qobject_cast<QAbstractItemView*>(w->parentWidget()) && !w->inherits("QTabBar") &&
                !w->inherits("QTabWidget"))
                wanted << w;
        // Of a group of radio buttons Tab reaches the chosen one; the arrows move between them.
        for (QRadioButton* r : shown->findChildren<QRadioButton*>())
            if (!r->isChecked()) wanted.remove(r);
        QVERIFY(!wanted.isEmpty());
        for (int i = 0; i < 2 * wanted.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : shown, Qt::Key_Tab);
            reached << QApplication::focusWidget();
        }
        QStringList missed;
        for (QWidget* w : wanted)
            if (!reached.contains(w)) missed << w->objectName() + "(" + w->metaObject()->className() + ")";
        QVERIFY2(missed.isEmpty(), qPrintable(missed.join(", ")));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_E, Qt::AltModifier);
        QTRY_VERIFY(!shown->isVisible());
        QVERIFY(W<QWidget>(form.get(), "pnl1")->isEnabled());
    }

    // In English every refusal box says something, and in English.
    void english_boxes_have_text() {
        auto form = Window(english_);
        auto* tree = W<QTreeWidget>(form.get(), "vrtlstrngtr1");
        Open(*form, raw_);
        TBoxRecorder boxes;
        Set_FolderHook([](QWidget*, const QString&) { return QString(); });
        auto* dialog3 = form->Form3();
        auto* dialog4 = form->Form4();
        auto press = [](QWidget* w, const char* name) {
            QTest::mouseClick(W<QAbstractButton>(w, name), Qt::LeftButton);
        };
        auto set = [](QWidget* w, const char* name, const char* text) {
            W<QLineEdit>(w, name)->setText(text);
        };
        const struct {
            const char* what;
            std::function<void()> act;
        } cases[] = {
            {"same image twice", [&] { Open(*form, raw_); }},
            {"nothing to scan",
             [&] {
                 Click(tree, At(tree, {}));
                 press(form.get(), "btnscan");
             }},
            {"nothing to image", [&] { press(form.get(), "btnToimage"); }},
            {"image file not imaged",
             [&] {
                 Click(tree, At(tree, {2}));
                 press(form.get(), "btnToimage");
             }},
            {"region out of range",
             [&] {
                 press(form.get(), "btnCreateRegion");
                 set(dialog4, "edtStartSec", "9990");
                 set(dialog4, "edtSecCount", "100");
                 press(dialog4, "btnToImage");
             }},
            {"region below 64 sectors",
             [&] {
                 set(dialog4, "edtStartSec", "0");
                 set(dialog4, "edtSecCount", "10");
                 press(dialog4, "btnToImage");
                 press(dialog4, "btn5");
             }},
            {"scan range start = end",
             [&] {
                 const size_t shown = boxes.Boxes.size();
                 press(form.get(), "btnscan");
                 // The offer to save the results comes from a timer: wait for it.
                 QTRY_VERIFY_WITH_TIMEOUT(boxes.Boxes.size() > shown, 5000);
                 boxes.Boxes.pop_back();
                 set(dialog3, "edtStartSec", "100");
                 set(dialog3, "edtEndSec", "100");
                 press(dialog3, "btnStartScan");
             }},
            {"scan range start > end",
             [&] {
                 set(dialog3, "edtStartSec", "200");
                 press(dialog3, "btnStartScan");
                 press(dialog3, "btnScanCacel");
             }},
            {"imaging range start = end",
             [&] {
                 Region(*form, "0", "100");
                 Click(tree, At(tree, {2, 0}));
                 press(form.get(), "btnToimage");
                 W<QLineEdit>(dialog3, "edt4")->setText(QString::fromStdString(files_.File("x.img")));
                 set(dialog3, "edt3", "50");
                 set(dialog3, "edt2", "50");
                 press(dialog3, "btnToImage");
             }},
            {"imaging range start > end",
             [&] {
                 set(dialog3, "edt3", "60");
                 press(dialog3, "btnToImage");
                 press(dialog3, "btn5");
             }},
            {"no export report", [&] { W<QAction>(form.get(), "NReport")->trigger(); }},
        };
        for (const auto& c : cases) {
            const size_t before = boxes.Boxes.size();
            c.act();
            QVERIFY2(boxes.Boxes.size() == before + 1, c.what);
            const TBoxRequest& b = boxes.Boxes.back();
            QVERIFY2(!b.Text.trimmed().isEmpty() && !Has_Cjk(b.Text) && !Has_Cjk(b.Caption),
                     qPrintable(QString(c.what) + ": '" + b.Text + "' / '" + b.Caption + "'"));
            QCOMPARE(int(b.LanguageId), 1033);
        }
        QVERIFY(W<QWidget>(form.get(), "pnl1")->isEnabled());
    }

    // Started in English, the new dialogs keep no Chinese caption.
    void dialogs_in_english() {
        auto form = Window(english_);
        QStringList chinese;
        for (QWidget* w : std::initializer_list<QWidget*>{form->Form3(), form->Form4(), form->Form7()})
            for (const QString& t : Captions(w))
                if (Has_Cjk(t)) chinese << t;
        QVERIFY2(chinese.isEmpty(), qPrintable(chinese.join(" / ")));
        QCOMPARE(W<QComboBox>(form->Form7(), "cbb1")->itemText(7),
                 QString("Scheme 8: both ways maximum (slow)"));
    }

    // The advanced settings keep the confirmed schemes; cancel returns both to the first.
    void advanced_settings() {
        auto form = Window();
        TForm7* f7 = form->Form7();
        W<QComboBox>(f7, "cbb1")->setCurrentIndex(6);
        W<QComboBox>(f7, "cbb3")->setCurrentIndex(1);
        QCOMPARE(f7->IntervalScheme() * 10 + f7->InterleaveScheme(), 0);
        W<QPushButton>(f7, "btnOK")->click();
        QCOMPARE(f7->IntervalScheme() * 10 + f7->InterleaveScheme(), 61);
        W<QPushButton>(f7, "btnCancel")->click();
        QCOMPARE(f7->IntervalScheme() * 10 + f7->InterleaveScheme(), 0);
        QCOMPARE(W<QComboBox>(f7, "cbb1")->currentIndex() + W<QComboBox>(f7, "cbb3")->currentIndex(), 0);
    }
};

QTEST_MAIN(TSourcesTest)
#include "sources_test.moc"
