#include "report/markers.hpp"

#include "report/json_writer.hpp"

#include <algorithm>

namespace perfagent {

std::optional<std::string> markerLabelProblem(std::string_view label) {
    if (label.empty()) return "the label is empty";
    if (label.size() > kMaxMarkerLabelBytes)
        return "the label is longer than " + std::to_string(kMaxMarkerLabelBytes) + " bytes";
    if (!isValidUtf8(label)) return "the label is not UTF-8";
    if (std::any_of(label.begin(), label.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
        return "the label holds a control character";
    return std::nullopt;
}

std::optional<std::string> Markers::add(std::int64_t n, std::string_view label) {
    if (count_ >= kMaxMarkers)
        return "the measurement has " + std::to_string(kMaxMarkers) + " markers, the most it may have";
    std::string& labels = bySample_[n];
    if (!labels.empty()) labels += kMarkerJoin;
    labels += label;
    ++count_;
    return std::nullopt;
}

void Markers::clear() {
    bySample_.clear();
    count_ = 0;
}

}  // namespace perfagent
