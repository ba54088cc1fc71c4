#pragma once
// From the Run request's argument to the script text: the name and its parameters, the file and
// the files its "#include" directives name, spliced in place.

#include <string>
#include <string_view>
#include <vector>

namespace orvana::script {

class ScriptHost;

inline constexpr size_t kMaxParameters = 9;
inline constexpr size_t kMaxScriptText = 65536;  // the text must stay below this
inline constexpr size_t kMaxIncludeName = 127;
// Splices beyond this many are refused as too big: a text cannot hold more useful ones.
inline constexpr size_t kMaxIncludes = 1000;

struct RunArgument {
    std::string name;  // with ".scr" added when it has none
    std::vector<std::string> parameters;
    bool too_many = false;  // 10 or more parameters
};

RunArgument ParseRunArgument(std::string_view argument);

// True for a relative name that stays inside the scripts folder: no absolute path, no
// backslash, no ".." step, no zero byte.
bool StaysInScriptsFolder(std::string_view name);

enum class LoadResult { Ok, NotLoaded, IncludeFailed };

// The script text with includes expanded and a line feed at its end. On failure `failure` holds
// the reply text.
LoadResult LoadScriptText(ScriptHost& host, std::string_view name, std::string* text,
                          std::string* failure);

}  // namespace orvana::script
