#include "settings/MprisPlayers.h"

#include "settings/RegistryUtils.h"

#include <algorithm>

std::vector<CMprisPlayers::CRecord> CMprisPlayers::List() {
    CRegistryKey key = CRegistryUtils::OpenKey(kKey, true);
    std::vector<std::string> names;
    CRegistryUtils::ListSubkeys(key, names);
    std::vector<CRecord> records;
    for (const std::string& name : names) {
        CRecord record{name, {}, 0};
        CRegistryKey player = CRegistryUtils::OpenKey(key, name, false);
        for (const CRegistryValue& value : CRegistryUtils::ListValues(player)) {
            if (value.name == "Identity" && value.type == CRegistryValue::EType::String)
                record.identity = value.text;
            else if (value.name == "LastSeen" && value.type == CRegistryValue::EType::Number)
                record.lastSeen = value.number;
        }
        records.push_back(std::move(record));
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const CRecord& a, const CRecord& b) { return a.lastSeen > b.lastSeen; });
    return records;
}

void CMprisPlayers::Record(const CRecord& record) {
    {
        CRegistryKey key = CRegistryUtils::OpenKey(std::string(kKey) + "\\" + record.name, true);
        CRegistryUtils::WriteString(key, "Identity", record.identity);
        CRegistryUtils::WriteNumber(key, "LastSeen", record.lastSeen);
    }
    const std::vector<CRecord> records = List();
    for (std::size_t i = kMaxPlayers; i < records.size(); ++i)
        CRegistryUtils::DeleteKey(std::string(kKey) + "\\" + records[i].name);
}
