#pragma once

#include "update/ComponentInfo.h"

/// The companion radio application: installed when its key
/// "Software\\Fenwave\\Radio" exists in the settings store, whose value
/// "Version" is its installed version.
class CRadioInfo : public CComponentInfo {
public:
    static constexpr const char* kRegistryKey = "Software\\Fenwave\\Radio";

    bool IsInstalled() override;
    bool IsVersionNewer() override;
};
