#pragma once

#include "res/StringTable.h"

#include <QString>

/// A text of the string table, as the windows show it.
inline QString UiText(int id) {
    const std::string_view text = CStringTable::Get(id);
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
