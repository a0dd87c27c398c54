#include "store/BackupProject.h"

#include "common/DecimalText.h"

namespace vorn {

std::string FormatPlanText(const std::vector<std::int32_t>& plan)
{
    std::string text;
    for (const std::int32_t code : plan) {
        text += std::to_string(code);
        text += '|';
    }
    return text;
}

void AppendPlanCodes(const std::string& text, std::vector<std::int32_t>& plan)
{
    std::string::size_type start = 0;
    for (auto bar = text.find('|'); bar != std::string::npos; bar = text.find('|', start)) {
        plan.push_back(ParseDecimal32(std::string_view(text).substr(start, bar - start)));
        start = bar + 1;
    }
}

} // namespace vorn
