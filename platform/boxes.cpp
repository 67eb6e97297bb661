#include "platform/boxes.h"

namespace platform {
namespace {
BoxHandler g_handler;
}

int MessageBox(const std::string& text, const std::string& caption, BoxButtons buttons) {
    BoxRequest request{text, caption, buttons, false};
    if (!g_handler)
        throw UnansweredBox("no one answers the box \"" + caption + "\": " + text);
    return g_handler(request);
}

BoxHandler SetBoxHandler(BoxHandler handler) {
    BoxHandler previous = std::move(g_handler);
    g_handler = std::move(handler);
    return previous;
}

} // namespace platform
