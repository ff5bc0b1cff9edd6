#include "update/RadioInfo.h"

#include "app/Logger.h"
#include "settings/RegistryUtils.h"

#include <exception>

bool CRadioInfo::IsInstalled() {
    if (mInstalled == kUnknown) {
        try {
            CRegistryUtils::OpenKey(kRegistryKey, false);
            mInstalled = kTrue;
        } catch (const std::exception&) {
            mInstalled = kFalse;
        }
    }
    return mInstalled == kTrue;
}

bool CRadioInfo::IsVersionNewer() {
    if (mNewer != kUnknown)
        return mNewer == kTrue;
    const std::string installed = GetRegVersion(kRegistryKey);
    VBX_LOG(3, mName << " installed ver: " << installed << ", server ver: " << mVersion << "\n");
    return CacheNewer(installed);
}
