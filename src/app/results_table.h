// The results list lvScanResult shows the core's results model through this
// table: eight columns (number, level, model, date, duration, length, actual
// length and the hidden result index), the level mark and the check box in the
// first column. Rows are added, removed and reordered only on the window
// thread (message 5, the view command, a column sort). Workers (search,
// export) change check marks in the core's model; the model announces each
// change and the table repaints the marks on the window thread. Beside the
// camera model each row shows the thumbnail of the recording's first key
// frame, made in the background (thumbnails.h).
#pragma once

#include <QAbstractTableModel>
#include <QString>

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "common/ui_message.h"
#include "results/results_model.h"

namespace qrv::app {

class TResultsTable : public QAbstractTableModel {
    Q_OBJECT
  public:
    static constexpr int kColumns = 8;
    static constexpr int kIndexColumn = 7; // hidden: the result index
    static constexpr int kThumbnailColumn = 2; // the camera model, with the thumbnail
    // The number a column sorts by (duration in seconds, lengths in bytes),
    // for the columns the list sorts as numbers.
    static constexpr int kSortRole = Qt::UserRole + 10;

    explicit TResultsTable(QObject* parent = nullptr);
    ~TResultsTable() override;

    // The core's model behind the list; export and search work on it.
    TResultsModel& Model() { return *model_; }
    const std::shared_ptr<TResultsModel>& Shared_Model() const { return model_; }

    // Message 5: appends a row.
    void Append(const TUiMessage& msg);
    // Deletes every row (and cancels the thumbnails being made).
    void Clear();
    // Where the thumbnails' scratch samples are written (the window's temporary folder).
    void Set_ScratchFolder(const std::string& folder) { scratchFolder_ = folder; }
    class TThumbnails* Thumbnails() const {
        return thumbnails_;
    }
    // Sorts by a column as the core sorts (alternating direction).
    void Sort(int column);
    // The legend shown as the list's hint.
    void Set_Hint(const QString& hint) { hint_ = hint; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    bool setHeaderData(int section, Qt::Orientation orientation, const QVariant& value, int role) override;

  signals:
    // The list changed a check mark (a click on a row's check box, the space key).
    void Check_Toggled();
    // Check marks of the model changed (by any thread) and were repainted.
    void Checks_Repainted();

  private:
    // The texts of a row, converted once when it is added.
    struct TShown {
        std::array<QString, kColumns> Texts;
        int Image = 9;
        bool Checkable = true; // false: a result without media data

    };
    void Reload();         // re-reads every row from the model
    void Repaint_Checks(); // window thread: the check column of every row changed
    std::shared_ptr<TResultsModel> model_;
    std::vector<TShown> shown_;
    std::array<QString, kColumns> headers_;
    QString hint_;
    // Set while a repaint of the marks is on its way to the window thread, so
    // a worker that changes thousands of marks posts only one.
    std::shared_ptr<std::atomic<bool>> pending_;
    class TThumbnails* thumbnails_ = nullptr;
    std::string scratchFolder_ = "/tmp";
};

} // namespace qrv::app
