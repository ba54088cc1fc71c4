#pragma once
// The operator list's changes to the users in the store: a new user with the list's defaults, a
// rename that keeps everything of the user, a removal, and the session limit as typed.

#include <cstdint>
#include <string>
#include <string_view>

namespace orvana {
class ConfigStore;
}

namespace orvana::console {

enum class NameEdit {
    kDone,
    kNameExists,  // "Name already exist!": nothing changed
    kBadName,     // empty, or with a backslash that would make a key path: nothing changed
    kNotDeleted,  // "Can't delete!": the new key was made, the old one stays
    kFailed,      // the store did not take it
};

// Ends the in-place edit of a row's name: `old_name` empty for a new row.
NameEdit EndUserNameEdit(const ConfigStore& store, const std::string& old_name,
                         const std::string& new_name);

// "MAX Counter Connection :" as typed: a decimal number kept to 16 bits, at most 128.
uint32_t SessionLimit(std::string_view typed);

}  // namespace orvana::console
