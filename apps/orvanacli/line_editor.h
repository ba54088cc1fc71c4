#pragma once
// The line being typed at orvanacli's shell prompt: keystrokes in, the text to redraw out.
// Emacs-style keys as in a login shell (arrows, Home/End, Delete, Ctrl-A/E/K/U/L), Up and Down
// through the lines entered before. One line on screen: no wrapping of very long lines.

#include <cstddef>
#include <string>
#include <vector>

namespace orvana::cli {

class LineEditor {
  public:
    enum class Event { kNone, kLine, kEnd, kCancel };

    explicit LineEditor(std::string prompt) : prompt_(std::move(prompt)) {}

    // One byte typed. kLine: `line()` is complete (added to the history when not blank);
    // kEnd: Ctrl-D on an empty line; kCancel: Ctrl-C dropped the line. After each call
    // TakeOutput() holds what brings the screen up to date.
    Event Feed(char byte);
    std::string TakeOutput();

    // Starts a new line: the prompt is drawn again.
    void Begin();
    // The screen's line cleared so other text can be printed there; Redraw() puts it back.
    std::string Hide() const;
    std::string Redraw() const;

    const std::string& line() const { return line_; }
    const std::vector<std::string>& history() const { return history_; }

    static constexpr size_t kHistoryLines = 500;
    static constexpr size_t kMaxLine = 4096;

  private:
    Event Key(char byte);
    void Escape(char byte);
    void Browse(int step);
    void Insert(char byte);

    std::string prompt_;
    std::string line_;
    size_t cursor_ = 0;
    std::vector<std::string> history_;
    size_t browsing_ = 0;  // index into history_; history_.size() is the line being typed
    std::string typed_;    // that line, kept while browsing
    std::string escape_;   // an escape sequence not yet complete
    std::string output_;
};

}  // namespace orvana::cli
