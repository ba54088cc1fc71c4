#include "script/variable_table.h"

#include <cstdint>

namespace orvana::script {

void Variable::Set(std::string_view text) {
    value.assign(text.substr(0, kMaxValue));
}

VariableTable::~VariableTable() {
    // Unlinked one by one: a long chain must not unwind through nested destructors.
    for (auto& head : chains_)
        while (head) head = std::move(head->next);
}

unsigned VariableTable::Chain(std::string_view name) {
    int hash = 0;
    // Bytes count as signed: names in code page 866 hash as the scripts' first host computed.
    for (char c : name) hash = (hash * 2) ^ static_cast<int8_t>(c);
    return static_cast<unsigned>(hash) & (kChains - 1);
}

Variable* VariableTable::Find(std::string_view name) const {
    for (Variable* v = chains_[Chain(name)].get(); v != nullptr; v = v->next.get())
        if (v->name == name) return v;
    return nullptr;
}

Variable* VariableTable::Declare(std::string_view name) {
    if (Find(name) != nullptr) return nullptr;
    auto entry = std::make_unique<Variable>();
    entry->name.assign(name);
    std::unique_ptr<Variable>& head = chains_[Chain(name)];
    entry->next = std::move(head);
    head = std::move(entry);
    return head.get();
}

Variable* VariableTable::FindOrCreate(std::string_view name) {
    if (Variable* v = Find(name)) return v;
    return Declare(name);
}

std::string VariableTable::Dump() const {
    std::string text;
    for (const auto& head : chains_)
        for (const Variable* v = head.get(); v != nullptr; v = v->next.get())
            text += v->name + " = " + v->value + "  ";
    return text;
}

}  // namespace orvana::script
