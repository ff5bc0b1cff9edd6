// The wizards' common sheet: the buttons it sets, the presses workers post,
// Cancel, and the stopping of workers.
#include "update/wizards/WizardSheet.h"

#include "res/StringTable.h"
#include "tests/ui/QtTestApplication.h"
#include "tests/update/WizardTestSupport.h"

#include <QKeyEvent>
#include <QWizardPage>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace WizardTest;

namespace {

/// Three plain pages; Next from the first jumps to the third when asked.
class CTestSheet : public CWizardSheet {
public:
    CTestSheet() : CWizardSheet(IDS_WIZARD_CAPTION, nullptr) {
        for (int id = 1; id <= 3; ++id)
            setPage(id, new QWizardPage(this));
    }
    using CWizardSheet::Post;

    int jumpTo = kNextInOrder;
    int nexts = 0;
    int cancels = 0;

protected:
    int OnWizardNext() override {
        ++nexts;
        SetWizardButtons(kBack | kNext);
        return currentId() == 1 ? jumpTo : kNextInOrder;
    }
    void OnCancel() override {
        ++cancels;
        CWizardSheet::OnCancel();
    }
};

TEST(WizardSheetTest, ButtonsShowWhatTheWizardSet) {
    struct Case {
        int buttons;
        bool back, next, finish;
    } const cases[] = {
        {CWizardSheet::kNoButtons, false, false, false},
        {CWizardSheet::kNext, false, true, false},
        {CWizardSheet::kBack | CWizardSheet::kNext, true, true, false},
        {CWizardSheet::kFinish, false, false, true},
        {CWizardSheet::kBack | CWizardSheet::kFinish, true, false, true},
    };
    CTestSheet sheet;
    sheet.show();
    // At the start: Next, as the sheet has more than one page.
    EXPECT_EQ(sheet.WizardButtons(), CWizardSheet::kNext);
    EXPECT_EQ(sheet.windowTitle(), QStringLiteral("Vortlebox Wizard"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.buttons);
        sheet.SetWizardButtons(c.buttons);
        EXPECT_EQ(Offered(sheet, "backButton"), c.back);
        EXPECT_EQ(Offered(sheet, "nextButton"), c.next);
        EXPECT_EQ(Offered(sheet, "finishButton"), c.finish);
        // Finish takes Next's place.
        EXPECT_NE(sheet.findChild<QWidget*>(QStringLiteral("nextButton"))->isVisible(), c.finish);
    }
}

TEST(WizardSheetTest, PressesFromAWorkerMoveTheSheetOnTheRightPageOnly) {
    CTestSheet sheet;
    sheet.show();
    const auto fromWorker = [](const std::function<void()>& press) { std::thread(press).join(); };

    fromWorker([&] { sheet.PressNext(1); });
    ASSERT_TRUE(WaitForPage(sheet, 2));
    EXPECT_EQ(sheet.WizardButtons(), CWizardSheet::kBack | CWizardSheet::kNext);

    // A press meant for page 1 comes too late: dropped.
    fromWorker([&] { sheet.PressNext(1); });
    PumpUi(100);
    EXPECT_EQ(sheet.currentId(), 2);
    EXPECT_EQ(sheet.nexts, 1);

    // Back to page 1, which gets the buttons it was shown with.
    fromWorker([&] { sheet.PressBack(2); });
    ASSERT_TRUE(WaitForPage(sheet, 1));
    EXPECT_EQ(sheet.WizardButtons(), CWizardSheet::kNext);

    // A jump, and Back returns to where Next was pressed.
    sheet.jumpTo = 3;
    ASSERT_TRUE(Click(sheet, "nextButton"));
    EXPECT_EQ(sheet.currentId(), 3);
    ASSERT_TRUE(Click(sheet, "backButton"));
    EXPECT_EQ(sheet.currentId(), 1);

    fromWorker([&] { sheet.PressCancel(); });
    ASSERT_TRUE(WaitForClosed(sheet));
    EXPECT_EQ(sheet.result(), QDialog::Rejected);
    EXPECT_EQ(sheet.cancels, 1);

    // Once closed, nothing moves it.
    const int nexts = sheet.nexts;
    bool ran = false;
    fromWorker([&] {
        sheet.PressNext();
        sheet.PressCancel();
        sheet.Post([&ran] { ran = true; });
    });
    PumpUi(100);
    EXPECT_EQ(sheet.nexts, nexts);
    EXPECT_EQ(sheet.cancels, 1);
    EXPECT_FALSE(ran);
}

TEST(WizardSheetTest, DisabledCancelIgnoresEscapeAndTheCloseButton) {
    CTestSheet sheet;
    sheet.show();
    sheet.EnableCancel(false);
    EXPECT_FALSE(Offered(sheet, "cancelButton"));
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(&sheet, &escape);
    sheet.close();
    PumpUi(50);
    EXPECT_TRUE(sheet.isVisible());
    EXPECT_EQ(sheet.cancels, 0);

    sheet.EnableCancel(true);
    QCoreApplication::sendEvent(&sheet, &escape);
    ASSERT_TRUE(WaitForClosed(sheet));
    EXPECT_EQ(sheet.cancels, 1);
}

} // namespace
