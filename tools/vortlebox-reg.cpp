// vortlebox-reg: reads and edits the program's settings store from the shell.
//
//   vortlebox-reg get KEY NAME
//   vortlebox-reg set KEY NAME sz TEXT
//   vortlebox-reg set KEY NAME dword NUMBER
//   vortlebox-reg list KEY
//   vortlebox-reg delete KEY [NAME]
//
// KEY is relative to the current account's root, e.g.
// 'Software\Fenwave\Users\alice'. Store failures exit 1 with the store's
// message; usage errors exit 2.

#include "app/EncodingUtils.h"
#include "settings/RegistryUtils.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

const char* const kUsage =
    "usage: vortlebox-reg get KEY NAME\n"
    "       vortlebox-reg set KEY NAME sz TEXT\n"
    "       vortlebox-reg set KEY NAME dword NUMBER\n"
    "       vortlebox-reg list KEY\n"
    "       vortlebox-reg delete KEY [NAME]\n"
    "KEY is relative to the current user's root, e.g. 'Software\\Fenwave\\Users\\alice'.\n"
    "The store is $XDG_CONFIG_HOME/Fenwave/registry.db (default ~/.config).\n";

int Usage(const std::string& problem) {
    if (!problem.empty())
        std::cerr << "vortlebox-reg: " << problem << "\n";
    std::cerr << kUsage;
    return 2;
}

// Decimal 0 to 4294967295, nothing else.
std::optional<std::uint32_t> ParseNumber(const std::string& text) {
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

void PrintValue(const CRegistryValue& value, bool withName) {
    if (withName)
        std::cout << value.name << (value.type == CRegistryValue::EType::Number ? " (dword) " : " (sz) ");
    if (value.type == CRegistryValue::EType::Number)
        std::cout << value.number << "\n";
    else
        std::cout << value.text << "\n";
}

int Get(const std::string& path, const std::string& name) {
    CRegistryKey key = CRegistryUtils::OpenKey(path, false);
    for (const CRegistryValue& value : CRegistryUtils::ListValues(key)) {
        if (CEncodingUtils::EqualsIgnoringCase(value.name, name)) {
            PrintValue(value, false);
            return 0;
        }
    }
    // Missing: let the store say so in its own words.
    CRegistryUtils::ReadString(key, name);
    return 1;
}

int Set(const std::string& path, const std::string& name, const std::string& type, const std::string& data) {
    std::optional<std::uint32_t> number;
    if (type == "dword") {
        number = ParseNumber(data);
        if (!number)
            return Usage("not a 32-bit unsigned decimal number: " + data);
    } else if (type != "sz") {
        return Usage("unknown value type: " + type + " (sz or dword)");
    }
    CRegistryKey key = CRegistryUtils::OpenKey(path, true);
    if (number)
        CRegistryUtils::WriteNumber(key, name, *number);
    else
        CRegistryUtils::WriteString(key, name, data);
    CRegistryUtils::CloseKey(key);
    return 0;
}

int List(const std::string& path) {
    CRegistryKey key = CRegistryUtils::OpenKey(path, false);
    std::vector<std::string> names;
    CRegistryUtils::ListSubkeys(key, names);
    for (const std::string& name : names)
        std::cout << name << "\n";
    for (const CRegistryValue& value : CRegistryUtils::ListValues(key))
        PrintValue(value, true);
    return 0;
}

int Delete(const std::string& path, const std::string* name) {
    if (name != nullptr) {
        CRegistryKey key = CRegistryUtils::OpenKey(path, false);
        CRegistryUtils::DeleteValue(key, *name);
    } else {
        if (path.empty())
            return Usage("refusing to delete the whole store");
        CRegistryUtils::DeleteKey(path);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
        std::cout << kUsage;
        return 0;
    }
    if (args.empty())
        return Usage("");
    const std::string& command = args[0];
    try {
        int result;
        if (command == "get" && args.size() == 3)
            result = Get(args[1], args[2]);
        else if (command == "set" && args.size() == 5)
            result = Set(args[1], args[2], args[3], args[4]);
        else if (command == "list" && args.size() == 2)
            result = List(args[1]);
        else if (command == "delete" && (args.size() == 2 || args.size() == 3))
            result = Delete(args[1], args.size() == 3 ? &args[2] : nullptr);
        else
            return Usage(command == "get" || command == "set" || command == "list" || command == "delete"
                             ? "wrong number of arguments for " + command
                             : "unknown command: " + command);
        std::cout.flush();
        if (!std::cout) {
            std::cerr << "vortlebox-reg: cannot write the output: " << std::strerror(errno) << "\n";
            return 1;
        }
        return result;
    } catch (const CRegistryUtils::CRegistryException& e) {
        std::cerr << e.what() << "\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "vortlebox-reg: " << e.what() << "\n";
        return 1;
    }
}
