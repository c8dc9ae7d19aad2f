#pragma once

#include "platform/url_session.hpp"

#include <boost/json/parse.hpp>

#include <mutex>

namespace perfagent::testing {

/// @brief Records the requests it is asked to start; sends nothing.
class FakeUrlSession final : public UrlSession {
public:
    void start(HttpRequest request) override { std::lock_guard lock(mutex_); requests_.push_back(std::move(request)); }
    std::vector<HttpRequest> take() { std::lock_guard lock(mutex_); return std::exchange(requests_, {}); }
    /// Takes the requests: the bodies of the reports among them.
    std::vector<boost::json::object> takeReports() {
        std::vector<boost::json::object> bodies;
        for (const auto& request : take())
            if (request.target == "/entry-point/json" && request.body)
                bodies.push_back(boost::json::parse(*request.body).as_object());
        return bodies;
    }

private:
    std::mutex mutex_;
    std::vector<HttpRequest> requests_;
};

}  // namespace perfagent::testing
