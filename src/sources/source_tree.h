// The source tree: one root (the computer), the disks under it, the volumes under
// their disk, image files under the root and regions under the node they were
// taken from. Each node owns one TTreeData record.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "media/tree_data.h"
#include "platform/disk_enum.h"

namespace qrv {

class TSourceNode {
  public:
    TTreeData Data;

    TSourceNode* Parent() const { return parent_; }
    const std::vector<std::unique_ptr<TSourceNode>>& Children() const { return children_; }
    // Appends a child; its Level is set to the child's depth in the tree.
    TSourceNode* Add_Child(TTreeData data);
    // Removes (and frees) a direct child with everything below it; false when it is not a child.
    bool Remove_Child(const TSourceNode* child);
    int Depth() const;

  private:
    TSourceNode* parent_ = nullptr;
    std::vector<std::unique_ptr<TSourceNode>> children_;
};

class TSourceTree {
  public:
    TSourceTree();
    // The root node (always present; its record is empty until a refresh fills it).
    TSourceNode* Root() { return root_.get(); }
    const TSourceNode* Root() const { return root_.get(); }
    // Removes every node and starts again with an empty root.
    void Clear();
    // Every node in pre-order, the root first.
    std::vector<TSourceNode*> Nodes();
    void Walk(const std::function<void(TSourceNode&)>& visit);

  private:
    std::unique_ptr<TSourceNode> root_;
};

// Capacity text of disks and volumes: bytes / 2^30 with two decimals and " GB".
std::string Format_DiskCap(int64_t bytes);

// Rebuilds the tree from an enumeration: the root labelled rootLabel, one node
// per disk in disk-number order, under each disk its volumes in list order.
// Previously added image files and regions are discarded.
void Fill_SourceTree(TSourceTree& tree, const TDiskList& disks, const std::string& rootLabel);

// The machine's disks and volumes as the kernel lists them, each volume's
// cluster geometry taken from its boot sector when it has a recognised one.
TDiskList List_Disks(const TEnumRoots& roots = {});

// Disk numbers across refreshes: a disk the tree lists already (the same
// device, model and size) keeps its number while it is present, so that a
// card plugged in or pulled out does not renumber the others; disks new to the
// tree take the lowest numbers free, in device-name order. The volumes follow
// their disks; the list ends sorted by number again.
void Keep_DiskNumbers(TDiskList& list, const TSourceTree& before);

// The refresh: enumerates the machine's disks and volumes and rebuilds the
// tree, the disks keeping their numbers (Keep_DiskNumbers).
void Refresh_SourceTree(TSourceTree& tree, const TEnumRoots& roots = {});

// Property rows (name, value) of a focused node, in display order. The root has
// no rows (the caller keeps what it showed before).
std::vector<std::pair<std::string, std::string>> Node_Properties(const TTreeData& node);

// Sectors of a node as the hex view and the dialogs count them: TotalSpace div
// PerSecBytes, or div 512 when PerSecBytes is not above 0.
int64_t Node_TotalSectors(const TTreeData& node);

} // namespace qrv
