// "style-write DESC OUT.sty": a style file built from its JSON description,
// read back by the style reader, which names the parts it found.
#include "Command.h"
#include "JsonBytes.h"

#include "StyleDescription.h"
#include "sequence/CStyle.h"

#include <memory>

namespace vtntool {
namespace {

constexpr size_t kMaxDescriptionBytes = size_t{4} << 20;

int runStyleWrite(const std::vector<std::string>& args)
{
    const std::string& descPath = args[0];
    const std::string& outPath = args[1];
    std::vector<uint8_t> desc;
    std::string why;
    if (!readWholeFile(descPath, kMaxDescriptionBytes, desc, why)) return refuse(descPath + ": " + why);
    stylewriter::Bytes file;
    if (!stylewriter::buildStyleFromDescription(std::string_view(reinterpret_cast<const char*>(desc.data()), desc.size()), file, why))
        return refuse(descPath + ": " + why);

    auto style = std::make_unique<CStyle>();
    if (style->readStyle(file.data(), static_cast<int>(file.size()), SequenceOptions{}) == 0)
        return refuse(descPath + ": the style reader refuses the built file");
    if (!writeWholeFile(outPath, file, why)) return refuse(outPath + ": " + why);

    Document answer;
    answer["output"] = jsonbytes::toUtf8(outPath);
    answer["bytes"] = file.size();
    answer["tempo"] = style->tempo;
    answer["numerator"] = style->numerator;
    answer["denominator"] = style->denominator;
    answer["parts"] = Document::array();
    for (size_t p = 1; p < style->parts.size(); ++p)
        answer["parts"].push_back({{"name", jsonbytes::toUtf8(style->parts[p].name)}, {"bars", style->parts[p].bars}});
    return printDocument(answer);
}

const ToolCommandRegistration styleWrite{{"style-write", "DESC OUT.sty", 2, runStyleWrite}};

} // namespace
} // namespace vtntool
