#include "settings/ServerHosts.h"

#include "app/Logger.h"
#include "settings/RegistryUtils.h"

#include <stdexcept>

std::string CServerHosts::Default(const std::string& name) {
    static const struct {
        const char* name;
        const char* host;
    } kDefaults[] = {{kSubmitHost, "127.0.0.1:33380"},
                     {kWebServiceHost, "127.0.0.1:33381"},
                     {kWebSiteHost, "127.0.0.1:33382"},
                     {kStaticHost, "127.0.0.1:33383"}};
    for (const auto& entry : kDefaults)
        if (name == entry.name)
            return entry.host;
    throw std::invalid_argument("Unknown server host setting: " + name);
}

std::string CServerHosts::GetOrDefault(const std::string& name) {
    try {
        return Get(name);
    } catch (const CRegistryUtils::CRegistryException& e) {
        VBX_LOG(1, "CRegistryException: " << e.what() << "\n");
        return Default(name);
    }
}

std::string CServerHosts::Get(const std::string& name) {
    std::string fallback = Default(name);
    CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", true);
    std::string host = CRegistryUtils::ReadString(key, name, true, fallback);
    CRegistryUtils::CloseKey(key);
    return host;
}
