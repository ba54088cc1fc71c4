#include "script/script_loader.h"

#include <filesystem>

#include "script/script_chars.h"
#include "script/script_host.h"

namespace orvana::script {
namespace {

constexpr const char* kNoScript = "ER:Script don't exist!";
constexpr const char* kNoInclude = "ER:File name don't exist!";
constexpr const char* kTooBig = "ER:Container very big!";
constexpr const char* kIncludeLoop = "ER:File include itself!";
constexpr std::string_view kDirective = "#include";

std::string_view SkipBlanks(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    return s;
}

// A file as the loader reads it: its bytes and a line feed.
FileRead ReadText(ScriptHost& host, std::string_view name, std::string* text) {
    if (!StaysInScriptsFolder(name)) return FileRead::Missing;
    FileRead r = host.ReadScriptFile(name, kMaxScriptText, text);
    if (r == FileRead::Ok) text->push_back('\n');
    return r;
}

std::string Normal(std::string_view name) {
    return std::filesystem::path(std::string(name)).lexically_normal().string();
}

// Which file each stretch of the text came from, so that an include of a file already being
// expanded around that point is caught instead of expanding forever.
struct Span {
    size_t begin, end;
    std::vector<std::string> chain;  // the files that include this stretch, outermost first
};

const std::vector<std::string>& ChainAt(const std::vector<Span>& spans, size_t at) {
    const Span* inner = &spans.front();
    for (const Span& s : spans)
        if (s.begin <= at && at < s.end && s.chain.size() > inner->chain.size()) inner = &s;
    return inner->chain;
}

}  // namespace

RunArgument ParseRunArgument(std::string_view argument) {
    RunArgument r;
    const size_t space = argument.find(' ');
    r.name = std::string(argument.substr(0, space));
    if (space != std::string_view::npos) {
        std::string_view rest = argument.substr(space);
        while (r.parameters.size() < kMaxParameters + 1) {
            rest = SkipBlanks(rest);
            const size_t next = rest.find(' ');
            r.parameters.emplace_back(rest.substr(0, next));
            if (next == std::string_view::npos) break;
            rest = rest.substr(next);
        }
    }
    r.too_many = r.parameters.size() > kMaxParameters;
    if (r.name.find(".scr") == std::string::npos) r.name += ".scr";
    return r;
}

bool StaysInScriptsFolder(std::string_view name) {
    if (name.empty() || name.front() == '/') return false;
    if (name.find('\\') != std::string_view::npos) return false;
    if (name.find('\0') != std::string_view::npos) return false;
    size_t start = 0;
    for (;;) {
        const size_t slash = name.find('/', start);
        if (name.substr(start, slash - start) == "..") return false;
        if (slash == std::string_view::npos) return true;
        start = slash + 1;
    }
}

LoadResult LoadScriptText(ScriptHost& host, std::string_view name, std::string* text,
                          std::string* failure) {
    switch (ReadText(host, name, text)) {
        case FileRead::Ok:
            break;
        case FileRead::Missing:
            *failure = kNoScript;
            return LoadResult::NotLoaded;
        case FileRead::TooBig:
            *failure = kTooBig;
            return LoadResult::NotLoaded;
    }
    std::vector<Span> spans{{0, text->size(), {Normal(name)}}};
    size_t includes = 0;
    size_t from = 0;
    for (;;) {
        const size_t at = text->find(kDirective, from);
        if (at == std::string::npos) break;
        size_t back = at;
        while (back > 3 && ((*text)[back - 1] == ' ' || (*text)[back - 1] == '\t')) --back;
        if (back >= 3 && text->compare(back - 3, 3, "rem") == 0) {
            const size_t eol = text->find('\n', at);
            if (eol == std::string::npos) break;
            from = eol + 1;
            continue;
        }
        size_t name_begin = at + kDirective.size();
        while (name_begin < text->size() && IsBlank((*text)[name_begin])) ++name_begin;
        size_t name_end = name_begin;
        while (name_end < text->size() && !IsBlank((*text)[name_end])) ++name_end;
        const std::string file = text->substr(name_begin, name_end - name_begin);
        // A longer name would be cut to another file's name: better to refuse it.
        if (file.size() > kMaxIncludeName) {
            *failure = kNoInclude;
            return LoadResult::IncludeFailed;
        }
        std::vector<std::string> chain = ChainAt(spans, at);
        const std::string normal = Normal(file);
        for (const std::string& outer : chain) {
            if (outer == normal) {
                *failure = kIncludeLoop;
                return LoadResult::IncludeFailed;
            }
        }
        std::string content;
        switch (ReadText(host, file, &content)) {
            case FileRead::Ok:
                break;
            case FileRead::Missing:
                *failure = kNoInclude;
                return LoadResult::IncludeFailed;
            case FileRead::TooBig:
                *failure = kTooBig;
                return LoadResult::NotLoaded;
        }
        const size_t removed = name_end - at;
        if (text->size() - removed + content.size() >= kMaxScriptText ||
            ++includes > kMaxIncludes) {
            *failure = kTooBig;
            return LoadResult::NotLoaded;
        }
        text->replace(at, removed, content);
        // A directive may straddle stretches (a file ending in "#inc"): positions inside the
        // replaced bytes move to the end of the new content.
        auto moved = [&](size_t pos) {
            if (pos <= at) return pos;
            if (pos >= at + removed) return pos - removed + content.size();
            return at + content.size();
        };
        for (Span& s : spans) {
            s.begin = moved(s.begin);
            s.end = moved(s.end);
        }
        chain.push_back(normal);
        spans.push_back({at, at + content.size(), std::move(chain)});
        from = 0;
    }
    if (text->size() >= kMaxScriptText) {
        *failure = kTooBig;
        return LoadResult::NotLoaded;
    }
    return LoadResult::Ok;
}

}  // namespace orvana::script
