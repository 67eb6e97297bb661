#include "engine/mainwindow.h"

#include <stdexcept>

namespace {
IMainWindow* g_window = nullptr;
}

IMainWindow& MainWindow() {
    if (!g_window) throw std::logic_error("no main window for the engine");
    return *g_window;
}

void SetMainWindow(IMainWindow* window) { g_window = window; }
