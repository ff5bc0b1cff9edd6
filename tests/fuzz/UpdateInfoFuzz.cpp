// Feeds arbitrary bytes to the update-information parser: it must either
// hand over records with the right number of fields for their section or
// refuse with a connection exception, and never read past the text.
#include "update/ConnectionException.h"
#include "update/UpdateInfoParser.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::size_t fieldBytes = 0;
    try {
        CUpdateInfoParser::Parse(
            text, [&](CUpdateInfoParser::ESection section, std::vector<std::string>& fields) {
                const std::size_t expected = section == CUpdateInfoParser::ESection::Plugins
                                                 ? CUpdateInfoParser::kPluginFieldCount
                                                 : CUpdateInfoParser::kComponentFieldCount;
                if (section == CUpdateInfoParser::ESection::None || fields.size() != expected)
                    std::abort();
                // Each field needs at least its two quotes in the text.
                for (const std::string& field : fields)
                    fieldBytes += field.size() + 2;
                if (fieldBytes > text.size())
                    std::abort();
            });
    } catch (const CConnectionException&) {
        return 0;
    }
    return 0;
}
