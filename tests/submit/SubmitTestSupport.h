#pragma once

#include "settings/RegistryUtils.h"

#include <chrono>
#include <functional>
#include <string>
#include <thread>

/// Points the submission server and the web service at test servers, in the
/// settings store of the test's environment.
inline void SetServerHosts(const std::string& submitHost, const std::string& webServiceHost) {
    CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", true);
    if (!submitHost.empty())
        CRegistryUtils::WriteString(key, "SubmitHost", submitHost);
    if (!webServiceHost.empty())
        CRegistryUtils::WriteString(key, "WebServiceHost", webServiceHost);
}

/// Polls a condition until it holds or the generous bound has passed.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds bound = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
