// The sources page of the main window: the source tree and its refresh, the
// focused node's properties, the sector hex view, image files, regions, and
// the commands that open the scan, imaging and region dialogs.
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTreeWidget>

#include "app/icons.h"
#include "app/main_window.h"
#include "app/qt_text.h"
#include "app/prompts.h"
#include "app/region_dialog.h"
#include "app/settings_dialog.h"
#include "app/source_checks.h"
#include "app/window_settings.h"
#include "common/language.h"
#include "common/op_state.h"
#include "common/text_format.h"
#include "media/raw_access.h"
#include "sources/hex_view.h"
#include "sources/imaging.h"
#include "sources/regions.h"

namespace qrv::app {

namespace {


// Item data holding the node an item shows.
constexpr int kNodeRole = Qt::UserRole + 2;
// Item data holding the index of the item's image in the small image list.
constexpr int kImageRole = Qt::UserRole + 1;

// Image of a node: the computer at the root, a disk (or an image file) below
// it, a volume or region one level further; deeper nodes have none.
int Node_Image(const TTreeData& d) {
    switch (d.Level) {
    case 0:
        return 0;
    case 1:
        return d.Hddtype == HDD_IMAGE ? 3 : 1;
    case 2:
        return 2;
    default:
        return -1;
    }
}

void Add_Items(TSourceNode* node, QTreeWidgetItem* item, const TSourceNode* focus,
               QTreeWidgetItem** focused) {
    const TTreeData& d = node->Data;
    item->setText(0, U(d.HddModel));
    item->setText(1, U(d.HddLable));
    item->setText(2, U(d.HddFs));
    item->setText(3, U(d.HddCap));
    // An image's whole path; for a region also where it starts.
    QString tip = U(d.HddModel);
    if (d.Hddtype == HDD_REGION) tip += "\n" + U(Tr("起始扇区:")) + N(d.RegionSec);
    item->setToolTip(0, tip);
    const int image = Node_Image(d);
    if (image >= 0) item->setIcon(0, Small_Image(image));
    item->setData(0, kImageRole, image);
    item->setData(0, kNodeRole, QVariant::fromValue(quintptr(node)));
    item->setSizeHint(0, QSize(-1, 20));
    if (node == focus) *focused = item;
    for (const auto& child : node->Children())
        Add_Items(child.get(), new QTreeWidgetItem(item), focus, focused);
}

// Copies node with everything below it under parent.
void Copy_Subtree(TSourceNode* parent, const TSourceNode& node) {
    TSourceNode* copy = parent->Add_Child(node.Data);
    for (const auto& child : node.Children())
        Copy_Subtree(copy, *child);
}

// What the user added to the tree (image files with their regions, regions of
// disks and volumes), kept across a refresh. Each kept subtree is a child of
// Nodes' root; Parents names where it hung: "" for the root, else its disk
// or volume (Parent_Key).
struct TUserNodes {
    TSourceTree Nodes;
    std::vector<std::string> Parents;
};

// A disk or volume by its kind and device (a card formatted without a
// partition table is both, on one device).
std::string Parent_Key(const TTreeData& d) {
    return std::to_string(d.Hddtype) + ":" + Get_SourcePath(d);
}

TUserNodes Take_UserNodes(TSourceTree& tree) {
    TUserNodes kept;
    for (TSourceNode* n : tree.Nodes()) {
        const TSourceNode* parent = n->Parent();
        if (!parent) continue;
        if (n->Data.Hddtype == HDD_IMAGE && !parent->Parent()) {
            Copy_Subtree(kept.Nodes.Root(), *n);
            kept.Parents.push_back("");
        } else if (n->Data.Hddtype == HDD_REGION &&
                   (parent->Data.Hddtype == HDD_PHYSICAL || parent->Data.Hddtype == HDD_VOLUME)) {
            Copy_Subtree(kept.Nodes.Root(), *n);
            kept.Parents.push_back(Parent_Key(parent->Data));
        }
    }
    return kept;
}

// Hangs the kept nodes back in the refreshed tree; regions of a disk or volume
// that is gone go with it.
void Restore_UserNodes(TSourceTree& tree, const TUserNodes& kept) {
    const auto& nodes = kept.Nodes.Root()->Children();
    for (size_t i = 0; i < nodes.size(); ++i) {
        TSourceNode* parent = nullptr;
        if (kept.Parents[i].empty()) {
            parent = tree.Root();
        } else {
            for (TSourceNode* n : tree.Nodes())
                if ((n->Data.Hddtype == HDD_PHYSICAL || n->Data.Hddtype == HDD_VOLUME) &&
                    Parent_Key(n->Data) == kept.Parents[i]) {
                    parent = n;
                    break;
                }
        }
        if (parent) Copy_Subtree(parent, *nodes[i]);
    }
}

} // namespace

// ------------------------------------------------------------ tree

void TForm1::Show_Sources(const TSourceNode* focus) {
    vrtlstrngtr1_->clear();
    QTreeWidgetItem* focused = nullptr;
    auto* root = new QTreeWidgetItem(vrtlstrngtr1_);
    Add_Items(sources_.Root(), root, focus, &focused);
    vrtlstrngtr1_->expandAll();
    if (focused) {
        vrtlstrngtr1_->setCurrentItem(focused);
        focused->setSelected(true);
    }
}

TSourceNode* TForm1::Focused_Node() const {
    QTreeWidgetItem* it = vrtlstrngtr1_->currentItem();
    if (!it || vrtlstrngtr1_->selectedItems().isEmpty()) return nullptr;
    return reinterpret_cast<TSourceNode*>(it->data(0, kNodeRole).value<quintptr>());
}

void TForm1::btnRefClick() {
    lblTotalsec_->clear();
    lblPerSecbyte_->clear();
    edtSec_->clear();
    lvlog_->clear();
    // Opened image files and created regions stay; the disks are listed anew.
    const TUserNodes kept = Take_UserNodes(sources_);
    Refresh_SourceTree(sources_, enumRoots_);
    Restore_UserNodes(sources_, kept);
    lvHDDAttribute_->clear();
    hexView_->clear();
    pnl30_->clear();
    Show_Sources(nullptr);
}

void TForm1::vrtlstrngtr1NodeClick() {
    // The page shown (properties or HEX) stays; both follow the node.
    const TSourceNode* node = Focused_Node();
    if (!node) return;
    const TTreeData& d = node->Data;
    if (d.Level != 0) {
        lvHDDAttribute_->clear();
        for (const auto& [name, value] : Node_Properties(d))
            new QTreeWidgetItem(lvHDDAttribute_, {U(name), U(value)});
    }
    edtSec_->setText(N(d.Hddtype == HDD_REGION ? d.RegionSec : 0));
    if (d.PerSecBytes > 0) {
        lblTotalsec_->setText(N(d.TotalSpace / d.PerSecBytes));
        lblPerSecbyte_->setText(N(d.PerSecBytes));
        pnl30_->setText(U(d.HddModel));
        btnJumpClick();
    } else {
        lblTotalsec_->setText(N(d.TotalSpace / 512));
        lblPerSecbyte_->setText("512");
    }
}

// ------------------------------------------------------------ hex view

void TForm1::Show_Hex(const std::vector<uint8_t>& bytes) {
    hexView_->setPlainText(U(Hex_Text(bytes)));
}

void TForm1::btnJumpClick() {
    const auto typed = Read_WholeNumber(this, edtSec_->text());
    if (!typed) return;
    const TSourceNode* node = Focused_Node();
    if (!node) return;
    const int64_t total = lblTotalsec_->text().toLongLong();
    int64_t sector = Hex_JumpSector(node->Data, total, *typed);
    // A region shows its own sectors only.
    if (node->Data.Hddtype == HDD_REGION && sector < node->Data.RegionSec) sector = node->Data.RegionSec;
    edtSec_->setText(N(sector));
    const auto bytes = Get_Hex(node->Data, sector);
    if (!bytes) {
        // The read-error line is logged; say why when the reason is the user's rights.
        if (const std::string hint = Access_Hint(node->Data); !hint.empty())
            Send_Log(TSeverity::Error, Tr("错误"), hint);
        return;
    }
    Show_Hex(*bytes);
}

void TForm1::Show_PreviousSector() {
    const auto typed = Read_WholeNumber(this, edtSec_->text());
    if (!typed) return;
    const TSourceNode* node = Focused_Node();
    if (!node) return;
    edtSec_->setText(N(Hex_PrevSector(node->Data, lblTotalsec_->text().toLongLong(), *typed)));
    btnJumpClick();
}

void TForm1::Show_NextSector() {
    const auto typed = Read_WholeNumber(this, edtSec_->text());
    if (!typed) return;
    const TSourceNode* node = Focused_Node();
    if (!node) return;
    edtSec_->setText(N(Hex_NextSector(node->Data, lblTotalsec_->text().toLongLong(), *typed)));
    btnJumpClick();
}

// ------------------------------------------------------------ image files and regions

void TForm1::btnOpenImgClick() {
    const QString path = Choose_OpenFile(this, U(Tr("打开镜像")), QString());
    const TOpenImageResult r = Open_Image(sources_, path.toStdString());
    if (!r.Node) {
        Hint_Box(this, r.Message);
        return;
    }
    Add_RecentFile(path);
    Show_Sources(Focused_Node());
}

void TForm1::Open_ImageFiles(const QStringList& paths) {
    bool opened = false;
    for (const QString& path : paths) {
        const TOpenImageResult r = Open_Image(sources_, path.toStdString());
        if (!r.Node) {
            Hint_Box(this, r.Message);
            continue;
        }
        Add_RecentFile(path);
        opened = true;
    }
    if (opened) Show_Sources(Focused_Node());
}

void TForm1::btnCreateRegionClick() {
    const TSourceNode* node = Focused_Node();
    if (!node || node->Data.Level == 0) {
        Hint_Box(this, "请选中要创建区域的盘符!");
        return;
    }
    if (const std::string hint = Access_Hint(node->Data); !hint.empty()) {
        Hint_Box(this, hint, TBoxIcon::Warning);
        return;
    }
    Set_MainEnabled(false);
    form4_->Show_For(node->Data);
}

void TForm1::Add_Regions(int32_t sectorSize, int64_t first, int64_t end) {
    TSourceNode* node = Focused_Node();
    if (!node) {
        Send_UIMessage(MSG_REGION_DONE);
        return;
    }
    Create_Region(*node, sectorSize, first, end);
    Show_Sources(node);
}

void TForm1::N6Click() {
    TSourceNode* node = Focused_Node();
    if (!node) return;
    TSourceNode* parent = node->Parent();
    if (!Delete_Node(sources_, node)) return;
    // What was shown of the deleted node goes with it.
    lvHDDAttribute_->clear();
    hexView_->clear();
    pnl30_->clear();
    Show_Sources(parent);
    vrtlstrngtr1NodeClick();
}

// ------------------------------------------------------------ scan and imaging

void TForm1::btnscanClick() {
    form3_->Clear_ScanPage();
    const TSourceNode* node = Focused_Node();
    if (!node || node->Data.Level == 0) {
        Hint_Box(this, "请选中要扫描的盘符!");
        return;
    }
    if (node->Data.TotalSpace <= 0) {
        Hint_Box(this, "当前存储容量为0无法扫描,程序将退出!", TBoxIcon::Warning);
        return;
    }
    if (const std::string hint = Access_Hint(node->Data); !hint.empty()) {
        Hint_Box(this, hint, TBoxIcon::Warning);
        return;
    }
    Set_MainEnabled(false);
    form3_->Show_ScanPage(node->Data);
}

void TForm1::btnToimageClick() {
    form3_->Clear_ImagePage();
    const TSourceNode* node = Focused_Node();
    if (const TOutcome refusal = Check_ImageNode(node ? &node->Data : nullptr); !refusal.Is_Ok()) {
        Hint_Box(this, refusal.Why);
        return;
    }
    if (const std::string hint = Access_Hint(node->Data); !hint.empty()) {
        Hint_Box(this, hint, TBoxIcon::Warning);
        return;
    }
    Set_MainEnabled(false);
    form3_->Show_ImagePage(node->Data);
}

} // namespace qrv::app
