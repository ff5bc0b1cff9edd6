#include "ui/controls/StopWatchProgress.h"

#include "player/StopWatch.h"
#include "ui/controls/Pictures.h"

#include <QMetaObject>
#include <QPainter>

#include <algorithm>

namespace {

constexpr int kGreyBitmap = 202;
constexpr int kGreenBitmap = 203;

} // namespace

CStopWatchProgress::CStopWatchProgress(QWidget* parent) : QWidget(parent) {}

CStopWatchProgress::~CStopWatchProgress() {
    mbDestroyed = true;
    if (mpWatch != nullptr)
        mpWatch->RemoveObserver(this);
}

void CStopWatchProgress::Follow(CStopWatch* watch) {
    if (watch != mpWatch) {
        if (mpWatch != nullptr)
            mpWatch->RemoveObserver(this);
        mpWatch = watch;
        if (mpWatch != nullptr)
            mpWatch->AddObserver(this);
    }
    mbGreen = false;
    if (mpWatch != nullptr) {
        mMaximum = mpWatch->GetGoal();
        SetSecondary(mMaximum);
        // The bar starts where the new track's count is, not where the last
        // track's ended.
        if (mbActive)
            mPosition = std::clamp(mpWatch->GetTimer(), 0, std::max(mMaximum, 0));
    }
    update();
}

void CStopWatchProgress::SetActive(bool active) {
    mbActive = active;
    if (!active) {
        mPosition = 0;
        update();
    }
}

void CStopWatchProgress::ShowSubmitted() {
    mbGreen = true;
    update();
}

void CStopWatchProgress::SetSecondary(int value) {
    mSecondary = std::clamp(value, 0, std::max(mMaximum, 0));
}

void CStopWatchProgress::Update() {
    QMetaObject::invokeMethod(this, &CStopWatchProgress::OnTick, Qt::QueuedConnection);
}

void CStopWatchProgress::OnTick() {
    if (!mbActive || mpWatch == nullptr)
        return;
    mPosition = mpWatch->GetTimer();
    if (!mbDestroyed)
        update();
    emit countdown(mMaximum - mPosition);
}

void CStopWatchProgress::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect box = rect();
    painter.fillRect(box, Qt::white);
    painter.setPen(Qt::black);
    painter.drawRect(box.adjusted(0, 0, -1, -1));
    if (mMaximum <= 0)
        return;

    const QRect inner = box.adjusted(1, 1, -1, -1);
    painter.setClipRect(box.adjusted(0, 0, -1, 0));
    if (mbShowSecondary) {
        const int w = static_cast<int>(static_cast<double>(mSecondary) / mMaximum * box.width());
        painter.fillRect(QRect(inner.left(), inner.top(), w, inner.height()), QColor(0xd2, 0xd2, 0xd2));
    }
    const int filled =
        static_cast<int>(static_cast<double>(std::clamp(mPosition, 0, mMaximum)) / mMaximum * box.width());
    if (filled <= 0)
        return;
    const int id = mbGreen ? kGreenBitmap : kGreyBitmap;
    if (mRenderedId != id || mRendered.size() != inner.size() * devicePixelRatioF()) {
        mRendered = CPictures::Render(CPictures::BitmapPath(id), inner.size(), devicePixelRatioF());
        mRenderedId = id;
    }
    const QImage& picture = mRendered;
    const QRect part(0, 0, std::min(filled, inner.width()), inner.height());
    painter.drawImage(QRect(inner.topLeft(), part.size()), picture,
                      QRectF(QPointF(0, 0), QSizeF(part.size()) * picture.devicePixelRatio()));
}
