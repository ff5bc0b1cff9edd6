#include "update/wizards/WizardSheet.h"

#include "app/CrashHandler.h"
#include "app/Logger.h"
#include "res/StringTable.h"
#include "ui/MessageBox.h"
#include "ui/UiText.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QShowEvent>

#include <chrono>
#include <ctime>
#include <memory>

CWizardSheet::CWizardSheet(int captionId, QWidget* parent) : QWizard(parent) {
    setWindowTitle(Text(captionId));
    setWizardStyle(QWizard::ModernStyle);
    // The sheet sets its buttons itself: the wizard's own Back, Next and
    // Finish are replaced by three buttons of ours, Cancel is kept.
    setOptions(QWizard::NoDefaultButton | QWizard::IndependentPages | QWizard::HaveCustomButton1 |
               QWizard::HaveCustomButton2 | QWizard::HaveCustomButton3);
    CreateButtons();
    // Room for the watermark beside a few lines of text, in units of the
    // desktop's font so that larger fonts get a larger wizard.
    const QFontMetrics metrics = fontMetrics();
    setMinimumSize(metrics.averageCharWidth() * 86, metrics.lineSpacing() * 24);
    connect(this, &QWizard::currentIdChanged, this, &CWizardSheet::OnCurrentIdChanged);
}

CWizardSheet::~CWizardSheet() = default;

QString CWizardSheet::Text(int id) {
    return UiText(id);
}

void CWizardSheet::CreateButtons() {
    mpBack = new QPushButton(buttonText(QWizard::BackButton), this);
    mpNext = new QPushButton(buttonText(QWizard::NextButton), this);
    mpFinish = new QPushButton(buttonText(QWizard::FinishButton), this);
    mpBack->setObjectName(QStringLiteral("backButton"));
    mpNext->setObjectName(QStringLiteral("nextButton"));
    mpFinish->setObjectName(QStringLiteral("finishButton"));
    setButton(QWizard::CustomButton1, mpBack);
    setButton(QWizard::CustomButton2, mpNext);
    setButton(QWizard::CustomButton3, mpFinish);
    button(QWizard::CancelButton)->setObjectName(QStringLiteral("cancelButton"));
    setButtonLayout({QWizard::Stretch, QWizard::CustomButton1, QWizard::CustomButton2, QWizard::CustomButton3,
                     QWizard::CancelButton});
    connect(mpBack, &QAbstractButton::clicked, this, &CWizardSheet::BackClicked);
    connect(mpNext, &QAbstractButton::clicked, this, &CWizardSheet::NextClicked);
    connect(mpFinish, &QAbstractButton::clicked, this, &CWizardSheet::FinishClicked);
    ApplyButtons();
}

void CWizardSheet::SetWizardButtons(int buttons) {
    mButtons = buttons;
    ApplyButtons();
}

void CWizardSheet::ApplyButtons() {
    const bool finish = (mButtons & kFinish) != 0;
    mpBack->setEnabled((mButtons & kBack) != 0);
    mpNext->setVisible(!finish);
    mpNext->setEnabled((mButtons & kNext) != 0);
    mpFinish->setVisible(finish);
    mpFinish->setEnabled(finish);
    mpNext->setDefault(!finish && mpNext->isEnabled());
    mpFinish->setDefault(finish);
    button(QWizard::CancelButton)->setEnabled(mbCancelEnabled);
}

void CWizardSheet::EnableCancel(bool enable) {
    mbCancelEnabled = enable;
    ApplyButtons();
}

void CWizardSheet::showEvent(QShowEvent* event) {
    if (!mbStarted) {
        mbStarted = true;
        SetWizardButtons(pageIds().size() == 1 ? kFinish : kNext);
        OnStart();
        mPageButtons[currentId()] = mButtons;
    }
    QWizard::showEvent(event);
}

void CWizardSheet::OnCurrentIdChanged(int id) {
    if (id < 0)
        return;
    if (mbGoingBack) {
        const auto shown = mPageButtons.find(id);
        if (shown != mPageButtons.end())
            SetWizardButtons(shown->second);
    } else if (mbStarted && mPageButtons.find(id) == mPageButtons.end()) {
        mPageButtons[id] = mButtons;
    }
    ApplyButtons();
}

int CWizardSheet::nextId() const {
    return mTarget > 0 ? mTarget : QWizard::nextId();
}

void CWizardSheet::NextClicked() {
    if (mbClosed)
        return;
    const int target = OnWizardNext();
    if (target == kStay || mbClosed)
        return;
    mTarget = target;
    next();
    mTarget = -1;
}

void CWizardSheet::BackClicked() {
    if (mbClosed || !OnWizardBack())
        return;
    mbGoingBack = true;
    back();
    mbGoingBack = false;
}

void CWizardSheet::FinishClicked() {
    if (!mbClosed && OnWizardFinish())
        accept();
}

int CWizardSheet::OnWizardNext() {
    return kNextInOrder;
}

bool CWizardSheet::OnWizardBack() {
    return true;
}

bool CWizardSheet::OnWizardFinish() {
    return true;
}

void CWizardSheet::OnCancel() {
    CloseCancelled();
}

void CWizardSheet::reject() {
    if (mbClosed || !mbCancelEnabled)
        return;
    OnCancel();
}

void CWizardSheet::CloseCancelled() {
    if (!mbClosed)
        done(QDialog::Rejected);
}

void CWizardSheet::done(int result) {
    mbClosed = true;
    QWizard::done(result);
}

void CWizardSheet::Post(std::function<void()> fn, int onPage) {
    QMetaObject::invokeMethod(
        this,
        [this, fn = std::move(fn), onPage] {
            if (mbClosed || (onPage != kAnyPage && currentId() != onPage))
                return;
            fn();
        },
        Qt::QueuedConnection);
}

void CWizardSheet::PressBack(int onPage) {
    Post([this] { BackClicked(); }, onPage);
}

void CWizardSheet::PressNext(int onPage) {
    Post([this] { NextClicked(); }, onPage);
}

void CWizardSheet::PressCancel(int onPage) {
    Post([this] { reject(); }, onPage);
}

void CWizardSheet::Update() {
    if (mbRefreshPending.exchange(true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            mbRefreshPending.store(false);
            OnRefresh();
        },
        Qt::QueuedConnection);
}

bool CWizardSheet::AskToCloseRunning(const std::vector<std::string>& names) {
    QString text = Text(IDS_RUNNING_PLAYERS);
    for (const std::string& name : names)
        text += QString::fromStdString(name) + QLatin1Char('\n');
    text += Text(IDS_CLOSE_PLAYERS);
    return CMessageBox::Show(this, QMessageBox::Question, Text(IDS_RUNNING_CAPTION), text,
                             QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) == QMessageBox::Yes;
}

std::string CWizardSheet::ClockTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}
