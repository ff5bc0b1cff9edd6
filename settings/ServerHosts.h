#pragma once

#include <string>

/// Where the Fenwave peers are reached: string values under
/// "Software\\Fenwave\\Vortlebox", each "host" or "host:port". A missing value
/// is written with its default, which points at the project's own simulator
/// on the loopback address:
///
///   "SubmitHost"      submission server    "127.0.0.1:33380"
///   "WebServiceHost"  web service          "127.0.0.1:33381"
///   "WebSiteHost"     web site             "127.0.0.1:33382"
///   "StaticHost"      static-content host  "127.0.0.1:33383"
class CServerHosts {
public:
    CServerHosts() = delete;

    static constexpr const char* kSubmitHost = "SubmitHost";
    static constexpr const char* kWebServiceHost = "WebServiceHost";
    static constexpr const char* kWebSiteHost = "WebSiteHost";
    static constexpr const char* kStaticHost = "StaticHost";

    /// The stored host of one of the names above. Throws
    /// std::invalid_argument for any other name and
    /// CRegistryUtils::CRegistryException when the store fails.
    static std::string Get(const std::string& name);
    /// Get, or the default when the store cannot be read (logged at level 1
    /// as "CRegistryException: " + the store's message).
    static std::string GetOrDefault(const std::string& name);
    /// The default of one of the names above; std::invalid_argument otherwise.
    static std::string Default(const std::string& name);
};
