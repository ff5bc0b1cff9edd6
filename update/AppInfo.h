#pragma once

#include "update/ComponentInfo.h"

/// The program's own record ("Vortlebox"): always installed and running; its
/// installed version is that of its own executable.
class CAppInfo : public CComponentInfo {
public:
    /// The name the update information gives the program itself.
    static constexpr const char* kName = "Vortlebox";

    bool IsInstalled() override { return true; }
    bool IsVersionNewer() override;
    bool IsRunning() override { return true; }
};
