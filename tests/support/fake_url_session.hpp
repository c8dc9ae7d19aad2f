#pragma once

#include "platform/url_session.hpp"

#include <mutex>
#include <utility>
#include <vector>

namespace perfagent::testing {

/// @brief Records the requests it is asked to start; sends nothing.
class FakeUrlSession final : public UrlSession {
public:
    void start(HttpRequest request) override {
        std::lock_guard lock(mutex_);
        requests_.push_back(std::move(request));
    }
    std::vector<HttpRequest> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    std::vector<HttpRequest> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(requests_, {});
    }

private:
    mutable std::mutex mutex_;
    std::vector<HttpRequest> requests_;
};

}  // namespace perfagent::testing
