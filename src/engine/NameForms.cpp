#include "engine/NameForms.h"

#include "common/NameCodec.h"

#include <algorithm>
#include <unordered_map>

namespace vorn {

std::vector<std::string> SecondForms(const std::vector<remote::Entry>& entries)
{
    std::vector<std::string> second(entries.size());
    std::unordered_map<std::string, std::size_t> kept; // NFC form -> the entry kept for it
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string& name = entries[i].name;
        // Plain ASCII has one form only: the common case costs no conversion.
        const bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return (c & 0x80) == 0; });
        if (ascii || !entries[i].unusable.empty() || !entries[i].IsFile())
            continue;
        const std::optional<std::string> nfc = NfcForm(name);
        if (!nfc)
            continue;
        const auto [at, added] = kept.emplace(*nfc, i);
        if (added)
            continue;
        // The NFC one stays; the other is told which name was copied instead.
        if (name == *nfc && entries[at->second].name != *nfc) {
            second[at->second] = name;
            second[i].clear();
            for (std::size_t j = 0; j < i; ++j)
                if (!second[j].empty() && second[j] == entries[at->second].name)
                    second[j] = name;
            at->second = i;
        } else {
            second[i] = entries[at->second].name;
        }
    }
    return second;
}

} // namespace vorn
