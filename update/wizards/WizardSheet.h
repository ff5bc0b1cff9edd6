#pragma once

#include "app/ManualResetEvent.h"
#include "app/Observer.h"

#include <QString>
#include <QWizard>

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

class QPushButton;

/// The common base of the program's wizards: a QWizard in the modern style
/// whose Back, Next and Finish buttons are set by the wizard itself
/// (SetWizardButtons), page by page, and whose moves go through
/// OnWizardBack, OnWizardNext and OnWizardFinish. Cancel, the Escape key
/// and closing the window go through OnCancel while Cancel is enabled.
///
/// Workers move the wizard only through PressBack, PressNext and
/// PressCancel, which post the press to the sheet's thread; a press meant for
/// one page is dropped when another page is showing by then, and every press
/// is dropped once the wizard has closed. As an observer of downloaders the
/// sheet posts itself one refresh (OnRefresh) per burst of notifications.
///
/// Pages are numbered from 1 in their order; OnWizardNext answers the page
/// to go to, kStay, or kNextInOrder. Back returns to the page shown before.
/// A page reached by Back gets back the buttons it was first shown with.
class CWizardSheet : public QWizard, public Observer {
    Q_OBJECT
public:
    /// The wizard buttons that are enabled; Finish takes Next's place.
    enum EButtons : int { kNoButtons = 0, kBack = 1, kNext = 2, kFinish = 4 };
    /// Answers of OnWizardNext.
    static constexpr int kStay = -1;
    static constexpr int kNextInOrder = 0;
    /// A press for whatever page is showing.
    static constexpr int kAnyPage = 0;

    /// captionId: the string-table text of the window title.
    CWizardSheet(int captionId, QWidget* parent);
    ~CWizardSheet() override;

    void SetWizardButtons(int buttons);
    int WizardButtons() const noexcept { return mButtons; }
    void EnableCancel(bool enable);
    bool IsCancelEnabled() const noexcept { return mbCancelEnabled; }
    /// Whether the wizard has ended (finished or cancelled).
    bool IsClosed() const noexcept { return mbClosed; }

    /// From any thread: the button is pressed on the sheet's thread, whether
    /// or not it is enabled, if page onPage is showing (any page for
    /// kAnyPage) and the wizard is still open.
    void PressBack(int onPage = kAnyPage);
    void PressNext(int onPage = kAnyPage);
    void PressCancel(int onPage = kAnyPage);

    /// A watched downloader changed (any thread): posts one OnRefresh.
    void Update() override;

    int nextId() const override;
    /// Cancel, Escape and the window's close button: OnCancel, unless Cancel
    /// is disabled.
    void reject() override;
    void done(int result) override;

    /// The string-table text of an identifier.
    static QString Text(int id);

protected:
    /// Next was pressed: answers the page to move to, kNextInOrder or kStay.
    virtual int OnWizardNext();
    /// Back was pressed: true moves back to the page shown before.
    virtual bool OnWizardBack();
    /// Finish was pressed: true closes the wizard with the accept result.
    virtual bool OnWizardFinish();
    /// Cancel was pressed: the default closes with the cancel result.
    virtual void OnCancel();
    /// The posted refresh after downloader notifications.
    virtual void OnRefresh() {}
    /// The wizard is about to be shown for the first time.
    virtual void OnStart() {}

    /// Ends the wizard with the cancel result.
    void CloseCancelled();

    /// Asks whether the named running programs may be closed: caption 160,
    /// text 106, the names one a line, text 159. True for Yes.
    bool AskToCloseRunning(const std::vector<std::string>& names);

    /// Runs fn on the sheet's thread later, unless the wizard has closed by
    /// then (or, with onPage set, another page shows). From any thread.
    void Post(std::function<void()> fn, int onPage = kAnyPage);
    /// "HH:MM:SS", the time a worker is logged as started at.
    static std::string ClockTime();

    void showEvent(QShowEvent* event) override;

private:
    void CreateButtons();
    void ApplyButtons();
    void OnCurrentIdChanged(int id);
    void NextClicked();
    void BackClicked();
    void FinishClicked();

    QPushButton* mpBack = nullptr;
    QPushButton* mpNext = nullptr;
    QPushButton* mpFinish = nullptr;
    int mButtons = kNext;
    bool mbCancelEnabled = true;
    bool mbClosed = false;
    bool mbStarted = false;
    bool mbGoingBack = false;
    int mTarget = -1;
    /// The buttons each page was first shown with.
    std::map<int, int> mPageButtons;
    std::atomic<bool> mbRefreshPending{false};
};
