#include "update/UpdateInfoParser.h"

#include "app/Logger.h"
#include "update/ConnectionException.h"
#include "update/WinUtils.h"

void CUpdateInfoParser::Parse(const std::string& text, const RecordHandler& onRecord) {
    ESection section = ESection::None;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;

        CWinUtils::Trim(line);
        if (line.empty() || line.compare(0, 2, "//") == 0)
            continue;
        if (line[0] == '[') {
            if (line == "[App]") {
                VBX_LOG(4, "Found [App]\n");
                section = ESection::App;
            } else if (line == "[Plugins]") {
                VBX_LOG(4, "Found [Plugins]\n");
                section = ESection::Plugins;
            } else if (line == "[Radio]") {
                VBX_LOG(4, "Found [Radio]\n");
                section = ESection::Radio;
            }
            continue;
        }
        if (section == ESection::None)
            throw CConnectionException(kCorruptText);

        std::vector<std::string> fields = CWinUtils::SplitQuoted(line);
        if (section == ESection::Plugins) {
            if (fields.size() != kPluginFieldCount)
                throw CConnectionException(kPluginCountText);
        } else if (fields.size() != kComponentFieldCount) {
            throw CConnectionException(kComponentCountText);
        }
        onRecord(section, fields);
    }
}
