#include "ui/UserCommands.h"

#include "app/Logger.h"
#include "settings/SettingsManager.h"

bool CUserCommands::ToggleVortling(CSettingsManager& settings) {
    try {
        CUser user = settings.GetCurrentUser();
        user.submitPlays = !user.submitPlays;
        settings.UpdateUser(user);
        VBX_LOG(3, "Vortling " << (user.submitPlays ? "enabled" : "disabled") << " for " << user.name << "\n");
        return user.submitPlays;
    } catch (const CSettingsManager::CUserNotFoundException&) {
        VBX_LOG(2, "No current user, vortling left as it is\n");
    } catch (const std::exception& e) {
        VBX_LOG(1, "Couldn't store the vortling switch: " << e.what() << "\n");
    }
    return false;
}

bool CUserCommands::ChooseUser(CSettingsManager& settings, int index) {
    try {
        const CUser user = settings.GetUser(index);
        if (!user.rememberPassword)
            return false;
        settings.SetCurrentUser(user.name);
        return true;
    } catch (const CSettingsManager::CUserNotFoundException&) {
        VBX_LOG(2, "User " << index << " not found\n");
        return false;
    }
}
