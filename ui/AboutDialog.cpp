#include "ui/AboutDialog.h"

#include "app/ProgramVersion.h"
#include "ui/controls/Pictures.h"
#include "update/Version.h"

#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr int kAboutBitmap = 189;
const QColor kTextGrey(0x87, 0x87, 0x87);

} // namespace

CAboutDialog::CAboutDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("aboutDialog"));
    setWindowTitle(QStringLiteral("About Vortlebox"));
    const QString path = CPictures::BitmapPath(kAboutBitmap);
    const QSize size = CPictures::NaturalSize(path);
    mPicture = CPictures::Render(path, size, devicePixelRatioF());

    mpVersion = new QLabel(VersionText(), this);
    mpVersion->setObjectName(QStringLiteral("versionText"));
    QPalette grey = mpVersion->palette();
    grey.setColor(QPalette::WindowText, kTextGrey);
    mpVersion->setPalette(grey);
    mpVersion->setAttribute(Qt::WA_TranslucentBackground);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("ok"));
    ok->setDefault(true);
    ok->setFlat(true);
    ok->setAutoFillBackground(false);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    // The picture's band carries the name; the version and OK sit on its
    // plain lower part.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 0, 16, 14);
    layout->addStretch(1);
    auto* bottom = new QHBoxLayout();
    bottom->addWidget(mpVersion, 1, Qt::AlignBottom);
    bottom->addWidget(ok, 0, Qt::AlignBottom);
    layout->addLayout(bottom);
    if (!size.isEmpty())
        setFixedSize(size);
}

QString CAboutDialog::VersionText() {
    return QStringLiteral("Version ") + QString::fromStdString(CVersion(kProgramFileVersion).ToString());
}

void CAboutDialog::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    if (!mPicture.isNull())
        painter.drawImage(QPoint(0, 0), mPicture);
}
