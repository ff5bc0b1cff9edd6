#pragma once

#include "history/HistoryStore.h"

#include <QAbstractTableModel>
#include <QIcon>

#include <map>
#include <memory>
#include <string>
#include <vector>

/// The plays of one history file as a table, newest first, read a page at a
/// time as the view asks for rows, so that a history of any size opens at
/// once. The filter chooses the plays; Reload reads the file again (it
/// changed, or another file is shown now). User-interface thread only.
class CHistoryModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum EColumn { kPlayed, kArtist, kTitle, kAlbum, kPlayer, kOutcome, kColumnCount };
    /// Rows read at a time.
    static constexpr int kPageSize = 200;

    explicit CHistoryModel(QObject* parent = nullptr);
    ~CHistoryModel() override;

    /// Shows the file at path (none: "") with the filter. Throws nothing: a
    /// file that cannot be read shows as empty, and Error() tells why.
    void Reload(const std::string& path, const CHistoryStore::CFilter& filter);
    /// Reads the same file and filter again.
    void Reload();

    /// The play of a row; null outside the rows.
    const CHistoryStore::CPlay* PlayAt(int row) const;
    /// The row of the play with that id among the rows read; -1 if none.
    int RowOfId(std::int64_t id) const;
    /// The reader of the file shown; null when there is none yet.
    CHistoryStore* Store() const noexcept { return mpStore.get(); }
    const CHistoryStore::CFilter& Filter() const noexcept { return mFilter; }
    /// Why the file could not be read; empty when it could.
    const QString& Error() const noexcept { return mError; }

    /// The small picture of an outcome.
    static QIcon OutcomeIcon(EPlayOutcome outcome);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    const std::vector<CHistoryStore::CPlay>* Page(int page) const;

    std::string mPath;
    CHistoryStore::CFilter mFilter;
    std::unique_ptr<CHistoryStore> mpStore;
    int mRows = 0;
    QString mError;
    // The pages read, by number; dropped together when too many.
    mutable std::map<int, std::vector<CHistoryStore::CPlay>> mPages;
};
