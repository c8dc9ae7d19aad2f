#include "report/report_encoder.hpp"

#include "report/json_writer.hpp"
#include "report/report_text.hpp"
#include "report/report_validity.hpp"

namespace perfagent {

namespace {
constexpr std::string_view kDictionaryPrefix = "finished generating dictinary ";
}  // namespace

ReportEncoder::Encoded ReportEncoder::encode(const MeasurementReport& report, HandOffLines variant) {
    Encoded encoded;
    const bool valid = isValidJsonObject(report);
    if (variant.dictionaryLine || valid) {
        description_.assign(kDictionaryPrefix);
        appendDescription(description_, report);
    }
    if (variant.dictionaryLine) encoded.lines.push_back(description_);
    if (variant.validLine) encoded.lines.push_back(valid ? "valid object : true" : "valid object : false");
    if (!valid) return encoded;
    encoded.lines.push_back("-------final JSon--------");
    encoded.body = encodePretty(report);
    if (echoDiffersFromDescription(report)) {
        echo_.clear();
        appendDescription(echo_, report, true);
        encoded.lines.push_back(echo_);
    } else {
        encoded.lines.push_back(std::string_view(description_).substr(kDictionaryPrefix.size()));
    }
    return encoded;
}

}  // namespace perfagent
