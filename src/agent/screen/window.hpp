#pragma once

#include "screen/view_controller.hpp"

#include <memory>

namespace perfagent {

/// @brief The application window as the stored interface description builds it: the two text fields
/// of the screen's view and the root view controller connected to them. The window owns both.
class Window {
public:
    TextField useCaseNameField;
    TextField srNumberField;
    std::unique_ptr<ViewController> rootViewController;

    /// Builds the window: a screen made as from a stored interface, its two fields connected.
    static std::unique_ptr<Window> loadMainInterface(Platform& platform, Probes& probes, CollectionServer& server,
                                                     KeepAliveServices keepAlive);
    /// The screen's view is on display: the root view controller's load hook runs.
    void makeKeyAndVisible();
};

inline std::unique_ptr<Window> Window::loadMainInterface(Platform& platform, Probes& probes, CollectionServer& server,
                                                         KeepAliveServices keepAlive) {
    auto window = std::make_unique<Window>();
    window->rootViewController = std::make_unique<ViewController>(platform, probes, server, std::move(keepAlive));
    window->rootViewController->useCaseName = &window->useCaseNameField;
    window->rootViewController->srNumber = &window->srNumberField;
    return window;
}

inline void Window::makeKeyAndVisible() {
    if (rootViewController) rootViewController->viewDidLoad();
}

}  // namespace perfagent
