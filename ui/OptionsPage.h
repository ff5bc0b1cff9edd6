#pragma once

#include <QWidget>

#include <exception>

/// One page of the options dialog. A page reads the settings the first
/// time it is shown and keeps its own copy until it stores them; a page
/// that was never shown has nothing to store and counts as stored. Every
/// change the user makes marks the page modified.
class COptionsPage : public QWidget {
    Q_OBJECT
public:
    explicit COptionsPage(QWidget* parent = nullptr);

    /// Writes the page's values to the settings if it was ever shown.
    /// False, after telling the user why, when they cannot be stored.
    bool Store();
    /// Reads the settings into the controls now, if not done yet.
    void EnsureLoaded();
    bool IsLoaded() const noexcept { return mbLoaded; }
    bool IsModified() const noexcept { return mbModified; }
    void SetModified(bool modified);

signals:
    void modifiedChanged(bool modified);

protected:
    /// Fills the controls from the settings.
    virtual void Load() = 0;
    /// Writes the controls' values; false when the page refuses them.
    virtual bool Save() = 0;
    void showEvent(QShowEvent* event) override;
    /// The settings store refused the page's values: logged and shown.
    void ShowRegistryError(const std::exception& e);
    /// Any other failure to store the page's values: logged and shown.
    void ShowError(const QString& caption, const std::exception& e);

private:
    bool mbLoaded = false;
    bool mbModified = false;
};
