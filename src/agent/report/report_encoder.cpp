#include "report/report_encoder.hpp"

#include "report/json_writer.hpp"
#include "report/report_text.hpp"
#include "report/report_validity.hpp"

namespace perfagent {

ReportEncoder::Encoded ReportEncoder::encode(const MeasurementReport& report, HandOffLines variant,
                                             std::string bodyBuffer) {
    Encoded encoded;
    const bool valid = isValidJsonObject(report);
    LinePieces description;
    if (variant.dictionaryLine || valid) appendDescription(description, report);
    if (variant.dictionaryLine) {
        LinePieces line("finished generating dictinary ");
        line.append(description);
        encoded.lines.push_back(std::move(line));
    }
    if (variant.validLine) encoded.lines.emplace_back(valid ? "valid object : true" : "valid object : false");
    if (!valid) return encoded;
    encoded.lines.emplace_back("-------final JSon--------");
    encoded.body = encodePretty(report, std::move(bodyBuffer));
    if (echoDiffersFromDescription(report)) {
        LinePieces echo;
        appendDescription(echo.text(), report, true);
        encoded.lines.push_back(std::move(echo));
    } else {
        encoded.lines.push_back(std::move(description));
    }
    return encoded;
}

}  // namespace perfagent
