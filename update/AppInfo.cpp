#include "update/AppInfo.h"

#include "update/VersionResource.h"

bool CAppInfo::IsVersionNewer() {
    if (mNewer != kUnknown)
        return mNewer == kTrue;
    CVersionResource resource;
    resource.OpenModule(nullptr);
    return CacheNewer(resource.GetFileVersion());
}
