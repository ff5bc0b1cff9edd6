#pragma once

#include "ui/OptionsPage.h"

class QCheckBox;

/// The "General" page of the options dialog: whether Vortlebox starts when
/// the person logs in to the desktop (CAutostart), for this account of the
/// computer, whichever Fenwave user is current.
class CGeneralPage : public COptionsPage {
    Q_OBJECT
public:
    explicit CGeneralPage(QWidget* parent = nullptr);

protected:
    void Load() override;
    bool Save() override;

private:
    QCheckBox* mpStartAtLogin = nullptr;
    bool mbLoadedEnabled = false;
};
