#include "app/results_table.h"

#include <QIcon>
#include <QThread>

#include "app/icons.h"
#include "app/thumbnails.h"

namespace qrv::app {

TResultsTable::TResultsTable(QObject* parent)
    : QAbstractTableModel(parent), model_(std::make_shared<TResultsModel>()),
      pending_(std::make_shared<std::atomic<bool>>(false)), thumbnails_(new TThumbnails(this)) {
    model_->Set_Session(std::make_shared<TScanSession>());
    // A thumbnail made shows in every row of its result.
    connect(thumbnails_, &TThumbnails::Ready, this, [this](qint64 resultIndex) {
        for (int r = 0; r < int(shown_.size()); ++r)
            if (model_->Row(r).ResultIndex == resultIndex)
                emit dataChanged(index(r, kThumbnailColumn), index(r, kThumbnailColumn),
                                 {Qt::DecorationRole});
    });
    int c = 0;
    for (const char* caption : kResultColumns)
        headers_[size_t(c++)] = QString::fromUtf8(caption);
    // The observer runs on whichever thread changed a mark. The window's own
    // changes repaint at once; a worker's are handed over with a queued call
    // (never a blocking one: the worker may hold up nothing of the window's).
    auto pending = pending_;
    model_->Set_CheckObserver([this, pending] {
        if (QThread::currentThread() == thread()) {
            Repaint_Checks();
            return;
        }
        if (pending->exchange(true)) return;
        QMetaObject::invokeMethod(
            this,
            [this, pending] {
                pending->store(false);
                Repaint_Checks();
            },
            Qt::QueuedConnection);
    });
}

TResultsTable::~TResultsTable() {
    // Workers that change marks have ended before the window goes away.
    model_->Set_CheckObserver({});
}

void TResultsTable::Append(const TUiMessage& msg) {
    const int row = int(shown_.size());
    beginInsertRows({}, row, row);
    model_->Apply_Message(msg);
    const TResultRow r = model_->Row(row);
    TShown s;
    s.Texts[0] = QString::fromStdString(r.Caption);
    for (size_t i = 0; i < r.Sub.size(); ++i)
        s.Texts[i + 1] = QString::fromStdString(r.Sub[i]);
    // The hidden column shows the result index (the row carries it as a number).
    if (r.ResultIndex >= 0) s.Texts[kIndexColumn] = QString::number(r.ResultIndex);
    s.Image = r.ImageIndex;
    s.Checkable = r.Exportable;
    shown_.push_back(std::move(s));
    endInsertRows();
    if (const auto session = model_->Session()) thumbnails_->Request(*session, r.ResultIndex, scratchFolder_);
}

void TResultsTable::Clear() {
    thumbnails_->Cancel_All();
    beginResetModel();
    model_->Clear();
    shown_.clear();
    endResetModel();
}

void TResultsTable::Sort(int column) {
    beginResetModel();
    model_->Sort_ByColumn(column);
    Reload();
    endResetModel();
}

void TResultsTable::Reload() {
    shown_.clear();
    for (const TResultRow& r : model_->Rows()) {
        TShown s;
        s.Texts[0] = QString::fromStdString(r.Caption);
        for (size_t i = 0; i < r.Sub.size(); ++i)
            s.Texts[i + 1] = QString::fromStdString(r.Sub[i]);
        if (r.ResultIndex >= 0) s.Texts[kIndexColumn] = QString::number(r.ResultIndex);
        s.Image = r.ImageIndex;
        s.Checkable = r.Exportable;
        shown_.push_back(std::move(s));
    }
}

void TResultsTable::Repaint_Checks() {
    if (shown_.empty()) return;
    emit dataChanged(index(0, 0), index(int(shown_.size()) - 1, 1),
                     {Qt::CheckStateRole, Qt::DecorationRole, Qt::ToolTipRole});
    emit Checks_Repainted();
}

int TResultsTable::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(shown_.size());
}

int TResultsTable::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QVariant TResultsTable::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= int(shown_.size())) return {};
    const TShown& s = shown_[size_t(index.row())];
    const int c = index.column();
    switch (role) {
    case Qt::DisplayRole:
        return s.Texts[size_t(c)];
    case Qt::DecorationRole:
        if (c == 0) return Small_Image(s.Image);
        // The level of a file the export found not to decode cleanly is flagged.
        if (c == 1 && model_->Row(index.row()).DecodeErrors > 0) return App_Icon("decode_error");
        if (c == kThumbnailColumn) {
            const QImage picture = thumbnails_->Picture(model_->Row(index.row()).ResultIndex);
            return picture.isNull() ? TThumbnails::Placeholder() : picture;
        }
        break;
    case kSortRole:
        if (const auto n = Sort_Number(model_->Row(index.row()), c)) return *n;
        break;
    case Qt::CheckStateRole:
        if (c == 0) return model_->Checked(index.row()) ? Qt::Checked : Qt::Unchecked;
        break;
    case Qt::TextAlignmentRole:
        // Level, model, date, duration and length centred; the rest left.
        if (c >= 1 && c <= 5) return int(Qt::AlignCenter);
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::ToolTipRole: {
        // The level column tells what the export's decode check found.
        const QString verdict =
            c == 1 ? QString::fromStdString(Decode_Verdict(model_->Row(index.row()))) : QString();
        if (!verdict.isEmpty()) return hint_.isEmpty() ? verdict : verdict + "\n" + hint_;
        if (!hint_.isEmpty()) return hint_;
        break;
    }
    default:
        break;
    }
    return {};
}

bool TResultsTable::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || index.column() != 0 || role != Qt::CheckStateRole) return false;
    model_->Set_Checked(index.row(), value.toInt() == Qt::Checked);
    emit dataChanged(index, index, {Qt::CheckStateRole});
    emit Check_Toggled();
    return true;
}

Qt::ItemFlags TResultsTable::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    const bool checkable = size_t(index.row()) < shown_.size() && shown_[size_t(index.row())].Checkable;
    if (index.column() == 0 && checkable) f |= Qt::ItemIsUserCheckable;
    return f;
}

QVariant TResultsTable::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= kColumns) return {};
    if (role == Qt::DisplayRole) return headers_[size_t(section)];
    if (role == Qt::TextAlignmentRole && section >= 1 && section <= 5) return int(Qt::AlignCenter);
    return {};
}

bool TResultsTable::setHeaderData(int section, Qt::Orientation orientation, const QVariant& value, int role) {
    if (orientation != Qt::Horizontal || section < 0 || section >= kColumns ||
        (role != Qt::DisplayRole && role != Qt::EditRole))
        return false;
    headers_[size_t(section)] = value.toString();
    emit headerDataChanged(orientation, section, section);
    return true;
}

} // namespace qrv::app
