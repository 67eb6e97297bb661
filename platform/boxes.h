// Message boxes: one seam for all of them. The programs install a handler that shows a real
// box; tests install a script. A box that nothing answers raises UnansweredBox, so a test
// fails instead of hanging.
#pragma once
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

enum class BoxButtons { Ok, YesNo };
enum BoxResult { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

struct BoxRequest {
    std::string text;      // 8-bit text as the program has it (Windows-1252)
    std::string caption;
    BoxButtons buttons = BoxButtons::Ok;
    bool beep = false;     // the box asks for the system sound
};

class UnansweredBox : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using BoxHandler = std::function<int(const BoxRequest&)>;

// Shows a modal box; returns the button pressed.
int MessageBox(const std::string& text, const std::string& caption,
               BoxButtons buttons = BoxButtons::Ok);

// Installs the handler (an empty one removes it); returns the previous one.
BoxHandler SetBoxHandler(BoxHandler handler);

// While a BoxHold lives, a box with only an OK button is kept instead of shown (and counts
// as answered OK): work that holds a flag others wait on shows its boxes after the flag is
// clear again. Take() ends the hold and hands the kept boxes over, in order.
class BoxHold {
public:
    BoxHold();
    ~BoxHold();
    BoxHold(const BoxHold&) = delete;
    BoxHold& operator=(const BoxHold&) = delete;
    std::vector<BoxRequest> Take();
private:
    std::vector<BoxRequest> kept_;
    std::vector<BoxRequest>* previous_;
    bool holding_ = true;
};

} // namespace platform
