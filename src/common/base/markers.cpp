#include "base/markers.hpp"

#include "base/text.hpp"


namespace perfagent {

Result<void> checkMarkerLabel(std::string_view label) {
    if (label.empty()) return failure("the label is empty");
    if (label.size() > kMaxMarkerLabelBytes)
        return failure("the label is longer than " + std::to_string(kMaxMarkerLabelBytes) + " bytes");
    if (!isValidUtf8(label)) return failure("the label is not UTF-8");
    // C0 controls and DEL, and (in UTF-8, which it is by now) the C1 controls U+0080 to U+009F.
    for (std::size_t i = 0; i < label.size(); ++i) {
        const auto c = static_cast<unsigned char>(label[i]);
        if (c < 0x20 || c == 0x7F || (c == 0xC2 && static_cast<unsigned char>(label[i + 1]) <= 0x9F))
            return failure("the label holds a control character");
    }
    return {};
}

Result<void> Markers::add(std::int64_t n, std::string_view label) {
    if (count_ >= kMaxMarkers)
        return failure("the measurement has " + std::to_string(kMaxMarkers) + " markers, the most it may have");
    std::string& labels = bySample_[n];
    if (!labels.empty()) labels += kMarkerJoin;
    labels += label;
    ++count_;
    return {};
}

void Markers::clear() {
    bySample_.clear();
    count_ = 0;
}

}  // namespace perfagent
