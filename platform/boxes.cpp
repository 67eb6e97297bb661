#include "platform/boxes.h"

namespace platform {
namespace {
BoxHandler g_handler;
std::vector<BoxRequest>* g_kept = nullptr;   // the innermost hold's boxes
}

int MessageBox(const std::string& text, const std::string& caption, BoxButtons buttons) {
    BoxRequest request{text, caption, buttons, false};
    if (g_kept && buttons == BoxButtons::Ok) {
        g_kept->push_back(std::move(request));
        return IDOK;
    }
    if (!g_handler)
        throw UnansweredBox("no one answers the box \"" + caption + "\": " + text);
    return g_handler(request);
}

BoxHandler SetBoxHandler(BoxHandler handler) {
    BoxHandler previous = std::move(g_handler);
    g_handler = std::move(handler);
    return previous;
}

BoxHold::BoxHold() : previous_(g_kept) { g_kept = &kept_; }

BoxHold::~BoxHold() {
    if (holding_) g_kept = previous_;
}

std::vector<BoxRequest> BoxHold::Take() {
    if (holding_) g_kept = previous_;
    holding_ = false;
    return std::move(kept_);
}

} // namespace platform
