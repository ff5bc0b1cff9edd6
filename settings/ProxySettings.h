#pragma once

#include <cstdint>
#include <string>

/// The proxy the HTTP client goes through, as kept under "Software\\Fenwave".
struct CProxySettings {
    std::string host;      ///< "ProxyHost"
    std::int32_t port = 0; ///< "ProxyPort"; 0 means none given
    std::string user;      ///< "ProxyUser"
    std::string password;  ///< "ProxyPass", in clear
    bool enabled = false;  ///< "ProxyEnabled"

    bool operator==(const CProxySettings&) const = default;
};
