#include "core/config_store.h"

#include <charconv>

#include "platform/hive.h"

namespace orvana {
namespace {

// A value written as text and read as a number (RTSCTS, Port written by remote administration)
// reads as the decimal number it holds; anything else in it gives the default.
std::optional<uint32_t> DecimalNumber(std::string_view text) {
    if (text.empty()) return std::nullopt;
    uint32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

ConfigStore::ConfigStore(platform::Hive& hive)
    : ConfigStore(hive, std::string(cfg::kRootKey) + cfg::kDefaultConfigName + "\\",
                  cfg::kDefaultConfigName) {}

ConfigStore::ConfigStore(platform::Hive& hive, std::string base, std::string name)
    : hive_(&hive), base_(std::move(base)), config_name_(std::move(name)) {}

void ConfigStore::SetActiveConfiguration(std::string_view name) {
    config_name_ = std::string(name);
    base_ = std::string(cfg::kRootKey) + config_name_ + "\\";
}

ConfigStore ConfigStore::AtRoot() const {
    return ConfigStore(*hive_, cfg::kRootKey, "");
}

std::string ConfigStore::Absolute(std::string_view path) const {
    std::string key = base_;
    key += path;
    return key;
}

uint32_t ConfigStore::ReadNumber(std::string_view path, std::string_view name, uint32_t fallback,
                                 KeyAccess access) const {
    std::string key = Absolute(path);
    if (access == KeyAccess::Create) hive_->CreateKey(key);
    auto value = hive_->GetValue(key, name);
    if (!value) return fallback;
    if (value->type == platform::HiveValue::Type::Number) return value->number;
    return DecimalNumber(value->text).value_or(fallback);
}

std::string ConfigStore::ReadText(std::string_view path, std::string_view name,
                                  std::string_view fallback, KeyAccess access) const {
    std::string key = Absolute(path);
    if (access == KeyAccess::Create) hive_->CreateKey(key);
    auto value = hive_->GetValue(key, name);
    if (!value) return std::string(fallback);
    if (value->type == platform::HiveValue::Type::Number) return std::to_string(value->number);
    // Whatever its length: a long password or access list that read as the default would
    // accept any password or grant every receiver.
    return value->text;
}

bool ConfigStore::ReadFlag(std::string_view path, std::string_view name, bool fallback,
                           KeyAccess access) const {
    return ReadText(path, name, fallback ? "1" : "0", access) == "1";
}

bool ConfigStore::WriteText(std::string_view path, std::string_view name,
                            std::string_view text) const {
    return hive_->SetText(Absolute(path), name, text);
}

bool ConfigStore::WriteFlag(std::string_view path, std::string_view name, bool value) const {
    return WriteText(path, name, value ? "1" : "0");
}

bool ConfigStore::WriteNumber(std::string_view path, std::string_view name, uint32_t number) const {
    return hive_->SetNumber(Absolute(path), name, number);
}

bool ConfigStore::WriteTogether(const std::function<bool()>& writes) const {
    return hive_->Transaction(writes);
}

bool ConfigStore::KeyExists(std::string_view path) const {
    return hive_->KeyExists(Absolute(path));
}

std::vector<std::string> ConfigStore::SubKeys(std::string_view path) const {
    return hive_->SubKeys(Absolute(path));
}

bool ConfigStore::DeleteKey(std::string_view path) const {
    return hive_->DeleteKey(Absolute(path));
}

bool ConfigStore::DeleteValue(std::string_view path, std::string_view name) const {
    return hive_->DeleteValue(Absolute(path), name);
}

bool ConfigStore::CopyValues(std::string_view from, std::string_view to) const {
    const std::string source = Absolute(from), target = Absolute(to);
    if (!hive_->KeyExists(source)) return false;
    return hive_->Transaction([&] {
        if (!hive_->CreateKey(target)) return false;
        for (const platform::NamedHiveValue& v : hive_->Values(source)) {
            const bool ok = v.value.type == platform::HiveValue::Type::Number
                                ? hive_->SetNumber(target, v.name, v.value.number)
                                : hive_->SetText(target, v.name, v.value.text);
            if (!ok) return false;
        }
        return true;
    });
}

}  // namespace orvana
