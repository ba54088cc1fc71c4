#pragma once
// A script host for interpreter tests: script files in memory, a store of (key, name) texts,
// requests answered by a test's function, and every log line, sleep and file read recorded.

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "script/script_host.h"
#include "script/script_interpreter.h"

namespace orvana::test {

class FakeScriptHost : public script::ScriptHost {
  public:
    std::map<std::string, std::string> files;
    std::map<std::pair<std::string, std::string>, std::string> config;
    std::function<std::string(std::string_view)> answer = [](std::string_view) {
        return std::string("RE:OK.");
    };
    std::vector<std::string> read_names, requests, stamped, plain, config_reads;
    std::vector<uint32_t> sleeps;
    bool interrupted = false;

    script::FileRead ReadScriptFile(std::string_view name, size_t limit,
                                    std::string* text) override {
        read_names.emplace_back(name);
        auto it = files.find(std::string(name));
        if (it == files.end()) return script::FileRead::Missing;
        if (it->second.size() > limit) return script::FileRead::TooBig;
        *text = it->second;
        return script::FileRead::Ok;
    }
    std::string ReadConfigText(std::string_view key, std::string_view name) override {
        config_reads.push_back(std::string(key) + "|" + std::string(name));
        auto it = config.find({std::string(key), std::string(name)});
        return it == config.end() ? std::string() : it->second;
    }
    std::string Request(std::string_view line) override {
        requests.emplace_back(line);
        return answer(line);
    }
    void LogStamped(std::string_view text) override { stamped.emplace_back(text); }
    void LogPlain(std::string_view text) override { plain.emplace_back(text); }
    bool Sleep(uint32_t ms) override {
        sleeps.push_back(ms);
        return !interrupted;
    }
    bool Interrupted() override { return interrupted; }
};

struct ScriptResult {
    int result = 0;
    unsigned state = 0;
    std::string output;
};

// Runs `argument` against the host's files.
inline ScriptResult RunScript(FakeScriptHost& host, std::string_view argument,
                              uint64_t step_limit = 100000) {
    script::ScriptInterpreter interpreter(host);
    interpreter.set_step_limit(step_limit);
    ScriptResult r;
    r.result = interpreter.LoadAndRun(argument);
    r.state = interpreter.state();
    r.output = interpreter.output();
    return r;
}

// Runs a script given as its text, stored as t.scr.
inline ScriptResult RunText(FakeScriptHost& host, const std::string& text,
                            const std::string& parameters = "") {
    host.files["t.scr"] = text;
    return RunScript(host, parameters.empty() ? "t" : "t " + parameters);
}

}  // namespace orvana::test
