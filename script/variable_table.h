#pragma once
// The variables of one scope: 16 chains chosen by a hash of the name, newest entry at the head
// of its chain (the exception report lists them in that order). Values are at most 255 bytes.
//
// Entries never move once created, so a Variable* stays valid until its table is destroyed.

#include <array>
#include <memory>
#include <string>
#include <string_view>

namespace orvana::script {

struct Variable {
    static constexpr size_t kMaxValue = 255;

    std::string name;
    std::string value;
    std::unique_ptr<Variable> next;

    // Longer values are cut at kMaxValue.
    void Set(std::string_view text);
};

class VariableTable {
  public:
    static constexpr unsigned kChains = 16;

    VariableTable() = default;
    ~VariableTable();
    VariableTable(const VariableTable&) = delete;
    VariableTable& operator=(const VariableTable&) = delete;

    static unsigned Chain(std::string_view name);

    Variable* Find(std::string_view name) const;
    // nullptr when the name is already declared.
    Variable* Declare(std::string_view name);
    Variable* FindOrCreate(std::string_view name);

    // "name = value  " for every variable, chain 0 to 15, newest first in each chain.
    std::string Dump() const;

  private:
    std::array<std::unique_ptr<Variable>, kChains> chains_;
};

}  // namespace orvana::script
