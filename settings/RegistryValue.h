#pragma once

#include <cstdint>
#include <string>

/// One typed value of a settings-store key: a text (REG_SZ) or a 32-bit
/// number (REG_DWORD).
struct CRegistryValue {
    /// The registry's own type numbers, kept so stored files stay readable.
    enum class EType : int { String = 1, Number = 4 };

    std::string name;
    EType type = EType::String;
    std::string text;
    std::uint32_t number = 0;
};
