#pragma once

#include "ui/OptionsPage.h"

#include <QString>

#include <cstdint>
#include <optional>

class CSettingsManager;
class QCheckBox;
class QLineEdit;

/// The "Connection" page of the options dialog: the program-wide proxy.
/// Ticking "Enable proxy" only enables the four fields; editing a field
/// marks the page modified.
class CConnectionPage : public COptionsPage {
    Q_OBJECT
public:
    /// Control identifiers; each control's objectName is its role.
    enum EControl : int {
        IDC_ENABLE_PROXY = 1037,
        IDC_HOST = 1030,
        IDC_PORT = 1031,
        IDC_USER = 1032,
        IDC_PASSWORD = 1033,
    };

    explicit CConnectionPage(CSettingsManager& settings, QWidget* parent = nullptr);

    /// The port a field's text stands for: its leading decimal number, as
    /// the C library reads it ("12ab" is 12), and 0 for "" and "0" (no
    /// port). nullopt for any other text that is not a port from 1 to 65535
    /// ("abc", "00", "-5", "70000").
    static std::optional<std::int32_t> ParsePort(const QString& text);

protected:
    void Load() override;
    bool Save() override;

private:
    void CreateControls();
    void EnableFields();

    CSettingsManager& mSettings;
    QCheckBox* mpEnable = nullptr;
    QLineEdit* mpHost = nullptr;
    QLineEdit* mpPort = nullptr;
    QLineEdit* mpUser = nullptr;
    QLineEdit* mpPassword = nullptr;
};
