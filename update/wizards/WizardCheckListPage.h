#pragma once

#include <QString>
#include <QWizardPage>

#include <vector>

class QListWidget;
class QPushButton;

/// An inner wizard page with a list of entries to tick: the plug-in
/// wizard's players and the update wizard's components. Each entry keeps the
/// number it was added with (the index of its record). An "Add..." button
/// below the list is shown on request.
class CWizardCheckListPage : public QWizardPage {
    Q_OBJECT
public:
    /// subTitle: one short line under the header; info: the text above the
    /// list.
    CWizardCheckListPage(const QString& header, const QString& subTitle, const QString& info,
                         QWidget* parent = nullptr);

    /// Shows the "Add..." button; its clicks are signalled as addClicked.
    void ShowAddButton();

    void Clear();
    void AddEntry(const QString& text, bool checked, int key);
    /// The entry added with key gets this text and tick (a new entry if none
    /// was added with it).
    void SetEntry(const QString& text, bool checked, int key);
    int Count() const;
    QString EntryText(int row) const;
    bool IsChecked(int row) const;
    void SetChecked(int row, bool checked);
    /// The keys of the ticked entries, in list order.
    std::vector<int> CheckedKeys() const;

signals:
    void addClicked();

private:
    int RowOf(int key) const;

    QListWidget* mpList = nullptr;
    QPushButton* mpAdd = nullptr;
};
