#include "ui/HistoryModel.h"

#include "app/Logger.h"
#include "history/PlayOutcome.h"

#include <QColor>
#include <QDateTime>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <array>

namespace {

/// Pages kept before the cache starts again.
constexpr std::size_t kMaxPages = 32;

enum class EMark { kCheck, kClock, kPlay, kDash, kCross, kEcho };

struct CLook {
    QColor colour;
    EMark mark;
};

CLook LookOf(EPlayOutcome outcome) {
    switch (outcome) {
    case EPlayOutcome::kSubmitted:
        return {QColor(0x2e, 0x9e, 0x4f), EMark::kCheck};
    case EPlayOutcome::kWaiting:
        return {QColor(0xe0, 0x8e, 0x0b), EMark::kClock};
    case EPlayOutcome::kCounting:
        return {QColor(0x2f, 0x7e, 0xd8), EMark::kPlay};
    case EPlayOutcome::kHeldBack:
        return {QColor(0xc0, 0x39, 0x2b), EMark::kCross};
    case EPlayOutcome::kMirror:
        return {QColor(0x8a, 0x8f, 0x98), EMark::kEcho};
    default:
        return {QColor(0x8a, 0x8f, 0x98), EMark::kDash};
    }
}

QPixmap PaintOutcome(EPlayOutcome outcome, int size) {
    const CLook look = LookOf(outcome);
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    painter.setPen(Qt::NoPen);
    painter.setBrush(look.colour);
    painter.drawEllipse(QRectF(0.5, 0.5, s - 1, s - 1));
    QPen pen(Qt::white, s / 8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    switch (look.mark) {
    case EMark::kCheck: {
        QPainterPath path;
        path.moveTo(s * 0.28, s * 0.52);
        path.lineTo(s * 0.44, s * 0.68);
        path.lineTo(s * 0.72, s * 0.36);
        painter.drawPath(path);
        break;
    }
    case EMark::kClock:
        painter.drawLine(QPointF(s / 2, s / 2), QPointF(s / 2, s * 0.25));
        painter.drawLine(QPointF(s / 2, s / 2), QPointF(s * 0.68, s * 0.6));
        break;
    case EMark::kPlay: {
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::white);
        const QPointF triangle[] = {{s * 0.38, s * 0.28}, {s * 0.38, s * 0.72}, {s * 0.74, s * 0.5}};
        painter.drawPolygon(triangle, 3);
        break;
    }
    case EMark::kCross:
        painter.drawLine(QPointF(s * 0.33, s * 0.33), QPointF(s * 0.67, s * 0.67));
        painter.drawLine(QPointF(s * 0.67, s * 0.33), QPointF(s * 0.33, s * 0.67));
        break;
    case EMark::kEcho:
        painter.drawArc(QRectF(s * 0.3, s * 0.3, s * 0.4, s * 0.4), 0, 360 * 16);
        break;
    case EMark::kDash:
        painter.drawLine(QPointF(s * 0.3, s / 2), QPointF(s * 0.7, s / 2));
        break;
    }
    return pixmap;
}

} // namespace

CHistoryModel::CHistoryModel(QObject* parent) : QAbstractTableModel(parent) {}

CHistoryModel::~CHistoryModel() = default;

QIcon CHistoryModel::OutcomeIcon(EPlayOutcome outcome) {
    static std::array<QIcon, CPlayOutcome::kLast + 1> icons;
    QIcon& icon = icons[static_cast<std::size_t>(outcome)];
    if (icon.isNull()) {
        for (int size : {16, 24, 32, 48})
            icon.addPixmap(PaintOutcome(outcome, size));
    }
    return icon;
}

void CHistoryModel::Reload(const std::string& path, const CHistoryStore::CFilter& filter) {
    if (path != mPath)
        mpStore.reset();
    mPath = path;
    mFilter = filter;
    Reload();
}

void CHistoryModel::Reload() {
    beginResetModel();
    mPages.clear();
    mRows = 0;
    mError.clear();
    try {
        // A file made since the last look is opened now.
        if (!mpStore && !mPath.empty())
            mpStore = CHistoryStore::OpenForReading(mPath);
        if (mpStore)
            mRows = static_cast<int>(std::min<std::int64_t>(mpStore->Count(mFilter), INT32_MAX));
    } catch (const CHistoryStore::CStoreException& e) {
        VBX_LOG(1, "Couldn't read the history: " << e.what() << "\n");
        mError = QString::fromStdString(e.what());
        mpStore.reset();
    }
    endResetModel();
}

const std::vector<CHistoryStore::CPlay>* CHistoryModel::Page(int page) const {
    auto found = mPages.find(page);
    if (found != mPages.end())
        return &found->second;
    if (!mpStore)
        return nullptr;
    if (mPages.size() >= kMaxPages)
        mPages.clear();
    try {
        found = mPages.emplace(page, mpStore->Page(mFilter, static_cast<std::int64_t>(page) * kPageSize, kPageSize))
                    .first;
    } catch (const CHistoryStore::CStoreException& e) {
        VBX_LOG(1, "Couldn't read the history: " << e.what() << "\n");
        return nullptr;
    }
    return &found->second;
}

const CHistoryStore::CPlay* CHistoryModel::PlayAt(int row) const {
    if (row < 0 || row >= mRows)
        return nullptr;
    const std::vector<CHistoryStore::CPlay>* page = Page(row / kPageSize);
    const auto index = static_cast<std::size_t>(row % kPageSize);
    return page != nullptr && index < page->size() ? &(*page)[index] : nullptr;
}

int CHistoryModel::RowOfId(std::int64_t id) const {
    for (const auto& [number, page] : mPages)
        for (std::size_t i = 0; i < page.size(); ++i)
            if (page[i].id == id)
                return number * kPageSize + static_cast<int>(i);
    return -1;
}

int CHistoryModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : mRows;
}

int CHistoryModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant CHistoryModel::data(const QModelIndex& index, int role) const {
    const CHistoryStore::CPlay* play = index.isValid() ? PlayAt(index.row()) : nullptr;
    if (play == nullptr)
        return {};
    const int column = index.column();
    if (role == Qt::DisplayRole) {
        switch (column) {
        case kPlayed:
            return QLocale::system().toString(QDateTime::fromSecsSinceEpoch(play->start), QLocale::ShortFormat);
        case kArtist:
            return QString::fromStdString(play->artist);
        case kTitle:
            return QString::fromStdString(play->title);
        case kAlbum:
            return QString::fromStdString(play->album);
        case kPlayer:
            return QString::fromStdString(play->player.empty() ? play->plugin : play->player);
        case kOutcome:
            return QString::fromUtf8(CPlayOutcome::Word(play->outcome));
        default:
            return {};
        }
    }
    if (role == Qt::DecorationRole && column == kOutcome)
        return OutcomeIcon(play->outcome);
    if (role == Qt::ToolTipRole) {
        if (column == kOutcome) {
            QString tip = QString::fromUtf8(CPlayOutcome::Reason(play->outcome));
            if (play->acked)
                tip += QStringLiteral("\nAcknowledged by the server: ") +
                       QLocale::system().toString(QDateTime::fromSecsSinceEpoch(*play->acked), QLocale::LongFormat);
            return tip;
        }
        if (column == kPlayer)
            return QString::fromStdString(play->plugin);
        if (column != kPlayed)
            return data(index, Qt::DisplayRole);
    }
    return {};
}

QVariant CHistoryModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char* const kHeaders[kColumnCount] = {"Played", "Artist", "Title", "Album", "Player", "Outcome"};
    return section >= 0 && section < kColumnCount ? QString::fromLatin1(kHeaders[section]) : QVariant();
}
